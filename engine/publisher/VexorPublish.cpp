// vexor-publish: builds update-site trees for the stand-in engine.
//
//   vexor-publish datset --signatures FILE --version N [--date YYYY-MM-DD] --out DIR
//   vexor-publish site --signatures FILE --versions FIRST..LAST [--patches K]
//                      [--date YYYY-MM-DD] [faults] --out DIR
//   vexor-publish engine --version a.b.c.d --engine-dir NAME --out DIR
//                        [--from-version a.b.c.d] [--engine-lib PATH] [--bad-md5 engine]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "SitePublisher.h"
#include "vexor/DatFormat.h"

namespace {

using namespace VexorPublisher;

constexpr char kUsage[] =
    "Usage:\n"
    "  vexor-publish datset --signatures FILE --version N [--date YYYY-MM-DD] --out DIR\n"
    "      one DAT set (avvscan.dat, avvnames.dat, avvclean.dat, and extra.dat when FILE\n"
    "      has an [extra] section) of version N\n"
    "  vexor-publish site --signatures FILE --versions FIRST..LAST [--patches K]\n"
    "                     [--date YYYY-MM-DD] [FAULT...] --out DIR\n"
    "      a DAT update site whose newest version is LAST: avvdat-LAST.zip, avvdat.ini,\n"
    "      oem.ini, the delta catalogue avvdelta.ini and patches from LAST-K (default\n"
    "      FIRST) to LAST\n"
    "  vexor-publish engine --version a.b.c.d --engine-dir NAME --out DIR\n"
    "                       [--from-version a.b.c.d] [--engine-lib PATH] [--bad-md5 engine]\n"
    "      an engine release: EngineVersion.ini, NAME/EngineUpdate.ini and the archive\n"
    "      holding mscan64a.so stamped with that version\n"
    "  vexor-publish marker --version N\n"
    "      prints bytes that only version N's set detects (Vexor.Gen.<3N+2>)\n"
    "  vexor-publish keygen --out DIR\n"
    "      a new publisher key pair in minisign's formats: DIR/vexor-publisher.pub (to\n"
    "      trust on the gateways) and DIR/vexor-publisher.key (secret, not encrypted)\n"
    "\n"
    "With --sign-key FILE (an unencrypted minisign secret key, minisign -G -W or keygen),\n"
    "datset, site and engine write NAME.minisig beside every file below DIR.\n"
    "\n"
    "Faults (each breaks the site in exactly one way):\n"
    "  --bad-md5 archive|catalogue|engine   a wrong MD5 for that file\n"
    "  --drop-patch VERSION                 the patch starting at VERSION is missing\n"
    "  --corrupt archive|patch              damaged bytes (their MD5 still matches)\n"
    "  --no-avvdat-ini, --no-oem-ini        leave that catalogue out\n"
    "\n"
    "Versions of a site derive from FILE: version v holds FILE's signatures and\n"
    "Vexor.Gen.k for k = v .. 3v+2. Output is deterministic; --date defaults to today.\n";

int Fail(const std::string& text) {
    std::fprintf(stderr, "vexor-publish: %s\n", text.c_str());
    return 2;
}

bool ParseNumber(const std::string& text, uint32_t* value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) {
        return false;
    }
    *value = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}

std::string DefaultEngineLibrary() {
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return "mscan64a.so";
    const auto folder = std::filesystem::path(std::string(self, static_cast<size_t>(length))).parent_path();
    return (folder.parent_path() / "lib" / "mscan64a.so").string();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    const std::string command = argv[1];
    if (command == "marker") {
        uint32_t version = 0;
        if (argc != 4 || std::strcmp(argv[2], "--version") != 0 || !ParseNumber(argv[3], &version)) {
            return Fail("marker takes --version N");
        }
        std::printf("%s\n", MarkerOnlyIn(version).c_str());
        return 0;
    }
    std::map<std::string, std::string> options;
    SiteFaults faults;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--no-avvdat-ini") {
            faults.no_avvdat_ini = true;
        } else if (arg == "--no-oem-ini") {
            faults.no_oem_ini = true;
        } else if (arg.rfind("--", 0) == 0 && i + 1 < argc) {
            options[arg] = argv[++i];
        } else {
            return Fail("unexpected argument '" + arg + "'\n\n" + kUsage);
        }
    }
    const auto take = [&](const char* name) {
        const auto it = options.find(name);
        if (it == options.end()) return std::string();
        std::string value = it->second;
        options.erase(it);
        return value;
    };
    if (const std::string md5 = take("--bad-md5"); !md5.empty()) {
        if (md5 == "archive") faults.bad_md5 = BadMd5::kArchive;
        else if (md5 == "catalogue") faults.bad_md5 = BadMd5::kCatalogue;
        else if (md5 == "engine") faults.bad_md5 = BadMd5::kEngine;
        else return Fail("--bad-md5 takes archive, catalogue or engine");
    }
    if (const std::string corrupt = take("--corrupt"); !corrupt.empty()) {
        if (corrupt == "archive") faults.corrupt = Corrupt::kArchive;
        else if (corrupt == "patch") faults.corrupt = Corrupt::kPatch;
        else return Fail("--corrupt takes archive or patch");
    }
    if (const std::string drop = take("--drop-patch"); !drop.empty()) {
        uint32_t version = 0;
        if (!ParseNumber(drop, &version)) return Fail("--drop-patch takes a version number");
        faults.drop_patch = version;
    }
    Date date = Today();
    if (const std::string text = take("--date"); !text.empty()) {
        const auto parsed = ParseDate(text);
        if (!parsed) return Fail("--date takes a date YYYY-MM-DD between 1980 and 2107");
        date = *parsed;
    }
    const std::string out = take("--out");
    if (out.empty()) return Fail("--out DIR is required");
    const std::string sign_key = take("--sign-key");
    if (command == "keygen") {
        if (!options.empty()) return Fail("unknown option " + options.begin()->first);
        std::string error;
        return WriteKeyPair(out, &error) ? 0 : Fail(error);
    }

    std::string error;
    bool ok = false;
    if (command == "datset" || command == "site") {
        const std::string signatures_path = take("--signatures");
        std::string base;
        if (signatures_path.empty()) return Fail("--signatures FILE is required");
        if (!VexorEngine::ReadFileBytes(signatures_path, VexorEngine::kMaxDatFileSize, &base, &error)) {
            return Fail(error);
        }
        if (command == "datset") {
            uint32_t version = 0;
            if (!ParseNumber(take("--version"), &version) || version == 0) {
                return Fail("--version takes a version number above 0");
            }
            if (!options.empty()) return Fail("unknown option " + options.begin()->first);
            ok = WriteDatSet(base, version, date, out, &error);
        } else {
            const std::string range = take("--versions");
            const size_t dots = range.find("..");
            uint32_t first = 0, last = 0, patches = 0;
            if (dots == std::string::npos || !ParseNumber(range.substr(0, dots), &first) ||
                !ParseNumber(range.substr(dots + 2), &last) || first == 0 || first > last) {
                return Fail("--versions takes FIRST..LAST with 0 < FIRST <= LAST");
            }
            patches = last - first;
            if (const std::string k = take("--patches"); !k.empty() && !ParseNumber(k, &patches)) {
                return Fail("--patches takes a number");
            }
            if (!options.empty()) return Fail("unknown option " + options.begin()->first);
            ok = WriteSite(base, first, last, patches, date, faults, out, &error);
        }
    } else if (command == "engine") {
        EngineRelease release;
        release.version = take("--version");
        release.engine_dir = take("--engine-dir");
        release.from_version = take("--from-version");
        release.library = take("--engine-lib");
        if (release.library.empty()) release.library = DefaultEngineLibrary();
        release.date = date;
        if (release.version.empty() || release.engine_dir.empty()) {
            return Fail("engine needs --version and --engine-dir");
        }
        if (!options.empty()) return Fail("unknown option " + options.begin()->first);
        ok = WriteEngineRelease(release, faults, out, &error);
    } else {
        return Fail("unknown command '" + command + "'\n\n" + kUsage);
    }
    if (!ok) return Fail(error);
    if (!sign_key.empty() && !SignTree(out, sign_key, &error)) return Fail(error);
    return 0;
}
