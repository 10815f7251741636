// vexor-publish: builds update-site trees for the stand-in engine.
//
//   vexor-publish datset --signatures FILE --version N [--date YYYY-MM-DD] --out DIR
//   vexor-publish site --signatures FILE --versions FIRST..LAST [--patches K]
//                      [--date YYYY-MM-DD] [faults] --out DIR
//   vexor-publish engine --version a.b.c.d --engine-dir NAME --out DIR
//                        [--from-version a.b.c.d] [--engine-lib PATH] [--bad-md5 engine]
//   vexor-publish keygen --out DIR [--name NAME]
//   vexor-publish marker --version N
//
// Each command is one function; main only splits the options and looks the
// command up in a table.
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
    "      an engine release: NAME/EngineUpdate.ini and the archive holding mscan64a.so\n"
    "      stamped with that version, and the version answer twice: EngineVersion.ini\n"
    "      (for folder and share sources) and default.asp (what a web server answers\n"
    "      to the updater's request default.asp?version=...; a plain static server does)\n"
    "  vexor-publish keygen --out DIR [--name NAME]\n"
    "      a new publisher key pair in minisign's formats: DIR/NAME.pub (to trust on\n"
    "      the gateways) and DIR/NAME.key (secret, not encrypted); NAME defaults to\n"
    "      vexor-publisher-<KEY ID>, so a second key never replaces the first; the\n"
    "      paths written are printed\n"
    "  vexor-publish refresh --out SITE --sign-key FILE --expires DURATION\n"
    "      signs the catalogues of an existing tree again (oem.ini, avvdat.ini, avvdelta.ini,\n"
    "      EngineVersion.ini, default.asp, EngineUpdate.ini) with a new signing time and end\n"
    "      of use, changing no file: the publisher's daily job, so gateways can tell a\n"
    "      current site from a frozen copy of it\n"
    "  vexor-publish marker --version N\n"
    "      prints bytes that only version N's set detects (Vexor.Gen.<3N+2>)\n"
    "\n"
    "Options of datset, site and engine:\n"
    "  --sign-key FILE   sign every file written below DIR (NAME.minisig beside it, trusted\n"
    "                    comment file:NAME) with FILE, an unencrypted minisign secret key\n"
    "                    (minisign -G -W, or keygen)\n"
    "  --expires DURATION with --sign-key: each catalogue's signature also carries when it\n"
    "                    was signed and that it expires DURATION later (a number and s, m,\n"
    "                    h or d: 8d); gateways refuse it after that\n"
    "  --date YYYY-MM-DD the date the files carry (default today)\n"
    "\n"
    "Faults (each breaks the site in exactly one way):\n"
    "  --bad-md5 archive|catalogue|engine   a wrong MD5 for that file\n"
    "  --drop-patch VERSION                 the patch starting at VERSION is missing\n"
    "  --corrupt archive|patch              damaged bytes (their MD5 still matches)\n"
    "  --no-avvdat-ini, --no-oem-ini        leave that catalogue out\n"
    "\n"
    "Versions of a site derive from FILE: version v holds FILE's signatures and\n"
    "Vexor.Gen.k for k = v .. 3v+2. Output is deterministic.\n"
    "Exit status: 0 written, 2 usage error or failure (the reason on standard error).\n";

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

// The command line after the command: "--name value" options and the
// faults, each taken out as a command uses it; what is left over was not
// meant for that command.
class Arguments {
public:
    // False with *error when an argument is neither an option with a value
    // nor a known flag.
    bool Parse(int argc, char** argv, std::string* error) {
        for (int i = 2; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--no-avvdat-ini" || arg == "--no-oem-ini") {
                flags_[arg] = true;
            } else if (arg.rfind("--", 0) == 0 && i + 1 < argc) {
                options_[arg] = argv[++i];
            } else {
                *error = "unexpected argument '" + arg + "'";
                return false;
            }
        }
        return true;
    }
    std::string Take(const char* name) {
        const auto it = options_.find(name);
        if (it == options_.end()) return {};
        std::string value = it->second;
        options_.erase(it);
        return value;
    }
    bool TakeFlag(const char* name) { return flags_.erase(name) != 0; }
    // "" when every argument was used, else the first one left.
    std::string Unused() const {
        if (!options_.empty()) return options_.begin()->first;
        return flags_.empty() ? std::string() : flags_.begin()->first;
    }

private:
    std::map<std::string, std::string> options_;
    std::map<std::string, bool> flags_;
};

// The faults a site or an engine release is asked to carry; false with
// *error for a value that names none.
bool TakeFaults(Arguments& args, SiteFaults* faults, std::string* error) {
    faults->no_avvdat_ini = args.TakeFlag("--no-avvdat-ini");
    faults->no_oem_ini = args.TakeFlag("--no-oem-ini");
    const std::map<std::string, BadMd5> bad_md5 = {
        {"archive", BadMd5::kArchive}, {"catalogue", BadMd5::kCatalogue}, {"engine", BadMd5::kEngine}};
    const std::map<std::string, Corrupt> corrupt = {{"archive", Corrupt::kArchive}, {"patch", Corrupt::kPatch}};
    if (const std::string md5 = args.Take("--bad-md5"); !md5.empty()) {
        if (bad_md5.count(md5) == 0) return (*error = "--bad-md5 takes archive, catalogue or engine", false);
        faults->bad_md5 = bad_md5.at(md5);
    }
    if (const std::string part = args.Take("--corrupt"); !part.empty()) {
        if (corrupt.count(part) == 0) return (*error = "--corrupt takes archive or patch", false);
        faults->corrupt = corrupt.at(part);
    }
    if (const std::string drop = args.Take("--drop-patch"); !drop.empty()) {
        uint32_t version = 0;
        if (!ParseNumber(drop, &version)) return (*error = "--drop-patch takes a version number", false);
        faults->drop_patch = version;
    }
    return true;
}

// What datset, site and engine share: the output folder, the date, the
// faults and the signing key, read before the command's own options.
struct TreeOptions {
    std::string out;
    Date date;
    SiteFaults faults;
    std::string sign_key;
    int64_t expires_seconds = 0;
};

// "90s", "30m", "12h", "8d": seconds, at most ten years; 0 when malformed.
int64_t ParseDuration(const std::string& text) {
    if (text.size() < 2 || text.size() > 8) return 0;
    const std::string digits = text.substr(0, text.size() - 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    const int64_t unit = text.back() == 's' ? 1 : text.back() == 'm' ? 60 : text.back() == 'h' ? 3600
                         : text.back() == 'd' ? 86400 : 0;
    const int64_t seconds = std::stoll(digits) * unit;
    return seconds <= 10 * 366 * 86400LL ? seconds : 0;
}

// --sign-key and --expires; --expires needs a key.
bool TakeSigning(Arguments& args, std::string* sign_key, int64_t* expires_seconds, std::string* error) {
    *sign_key = args.Take("--sign-key");
    const std::string expires = args.Take("--expires");
    if (expires.empty()) return true;
    *expires_seconds = ParseDuration(expires);
    if (*expires_seconds == 0) return (*error = "--expires takes a duration such as 90s, 30m, 12h or 8d", false);
    if (sign_key->empty()) return (*error = "--expires needs --sign-key: the times are part of the signature", false);
    return true;
}

bool TakeTreeOptions(Arguments& args, TreeOptions* tree, std::string* error) {
    if (!TakeFaults(args, &tree->faults, error)) return false;
    tree->date = Today();
    if (const std::string text = args.Take("--date"); !text.empty()) {
        const auto parsed = ParseDate(text);
        if (!parsed) return (*error = "--date takes a date YYYY-MM-DD between 1980 and 2107", false);
        tree->date = *parsed;
    }
    tree->out = args.Take("--out");
    if (tree->out.empty()) return (*error = "--out DIR is required", false);
    return TakeSigning(args, &tree->sign_key, &tree->expires_seconds, error);
}

// The signatures file of datset and site.
bool TakeSignatures(Arguments& args, std::string* base, std::string* error) {
    const std::string path = args.Take("--signatures");
    if (path.empty()) return (*error = "--signatures FILE is required", false);
    return VexorEngine::ReadFileBytes(path, VexorEngine::kMaxDatFileSize, base, error);
}

bool PublishDatSet(Arguments& args, const TreeOptions& tree, std::string* error) {
    std::string base;
    if (!TakeSignatures(args, &base, error)) return false;
    uint32_t version = 0;
    if (!ParseNumber(args.Take("--version"), &version) || version == 0) {
        return (*error = "--version takes a version number above 0", false);
    }
    if (const std::string unused = args.Unused(); !unused.empty()) return (*error = "unknown option " + unused, false);
    return WriteDatSet(base, version, tree.date, tree.out, error);
}

bool PublishSite(Arguments& args, const TreeOptions& tree, std::string* error) {
    std::string base;
    if (!TakeSignatures(args, &base, error)) return false;
    const std::string range = args.Take("--versions");
    const size_t dots = range.find("..");
    uint32_t first = 0, last = 0;
    if (dots == std::string::npos || !ParseNumber(range.substr(0, dots), &first) ||
        !ParseNumber(range.substr(dots + 2), &last) || first == 0 || first > last) {
        return (*error = "--versions takes FIRST..LAST with 0 < FIRST <= LAST", false);
    }
    uint32_t patches = last - first;
    if (const std::string k = args.Take("--patches"); !k.empty() && !ParseNumber(k, &patches)) {
        return (*error = "--patches takes a number", false);
    }
    if (const std::string unused = args.Unused(); !unused.empty()) return (*error = "unknown option " + unused, false);
    return WriteSite(base, first, last, patches, tree.date, tree.faults, tree.out, error);
}

bool PublishEngine(Arguments& args, const TreeOptions& tree, std::string* error) {
    EngineRelease release;
    release.version = args.Take("--version");
    release.engine_dir = args.Take("--engine-dir");
    release.from_version = args.Take("--from-version");
    release.library = args.Take("--engine-lib");
    if (release.library.empty()) release.library = DefaultEngineLibrary();
    release.date = tree.date;
    if (release.version.empty() || release.engine_dir.empty()) {
        return (*error = "engine needs --version and --engine-dir", false);
    }
    if (const std::string unused = args.Unused(); !unused.empty()) return (*error = "unknown option " + unused, false);
    return WriteEngineRelease(release, tree.faults, tree.out, error);
}

// datset, site and engine: the tree, then its signatures when asked for.
using TreeWriter = bool (*)(Arguments&, const TreeOptions&, std::string*);

int PublishTree(TreeWriter write, Arguments& args) {
    TreeOptions tree;
    std::string error;
    if (!TakeTreeOptions(args, &tree, &error) || !write(args, tree, &error)) return Fail(error);
    SignOptions options;
    options.expires_seconds = tree.expires_seconds;
    if (!tree.sign_key.empty() && !SignTree(tree.out, tree.sign_key, &error, options)) return Fail(error);
    return 0;
}

int Refresh(Arguments& args) {
    const std::string out = args.Take("--out");
    std::string sign_key, error;
    SignOptions options;
    options.catalogues_only = true;
    if (!TakeSigning(args, &sign_key, &options.expires_seconds, &error)) return Fail(error);
    if (out.empty() || sign_key.empty() || options.expires_seconds == 0) {
        return Fail("refresh needs --out SITE, --sign-key FILE and --expires DURATION");
    }
    if (const std::string unused = args.Unused(); !unused.empty()) return Fail("unknown option " + unused);
    if (!std::filesystem::is_directory(out)) return Fail(out + " is not a folder");
    if (!SignTree(out, sign_key, &error, options)) return Fail(error);
    return 0;
}

int Keygen(Arguments& args) {
    const std::string out = args.Take("--out");
    std::string name = args.Take("--name");
    if (out.empty()) return Fail("--out DIR is required");
    if (const std::string unused = args.Unused(); !unused.empty()) return Fail("unknown option " + unused);
    std::string error;
    if (!WriteKeyPair(out, &name, &error)) return Fail(error);
    std::printf("%s/%s.pub\n%s/%s.key\n", out.c_str(), name.c_str(), out.c_str(), name.c_str());
    return 0;
}

int Marker(Arguments& args) {
    uint32_t version = 0;
    if (!ParseNumber(args.Take("--version"), &version) || !args.Unused().empty()) {
        return Fail("marker takes --version N");
    }
    std::printf("%s\n", MarkerOnlyIn(version).c_str());
    return 0;
}

struct Command {
    const char* name;
    int (*run)(Arguments&);
};

constexpr Command kCommands[] = {
    {"datset", [](Arguments& args) { return PublishTree(PublishDatSet, args); }},
    {"site", [](Arguments& args) { return PublishTree(PublishSite, args); }},
    {"engine", [](Arguments& args) { return PublishTree(PublishEngine, args); }},
    {"keygen", Keygen},
    {"refresh", Refresh},
    {"marker", Marker},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    for (const Command& command : kCommands) {
        if (std::strcmp(argv[1], command.name) != 0) continue;
        Arguments args;
        std::string error;
        if (!args.Parse(argc, argv, &error)) return Fail(error + "\n\n" + kUsage);
        return command.run(args);
    }
    return Fail("unknown command '" + std::string(argv[1]) + "'\n\n" + kUsage);
}
