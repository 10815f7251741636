#include "SitePublisher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <vector>

#include "Common/Platform/FileVersion.h"
#include "Common/Platform/ProcessRunner.h"
#include "Common/Signatures/Minisign.h"
#include "Common/Text/Md5.h"
#include "vexor/DatFormat.h"
#include "vexor/DatPatch.h"

namespace VexorPublisher {

namespace fs = std::filesystem;
using VexorEngine::DatFiles;

namespace {

constexpr int64_t kPackTimeoutMs = 600000;

std::string Md5Hex(const std::string& data) {
    TesselSoftware::Md5 md5;
    md5.Update(data.data(), data.size());
    return md5.HexDigest();
}

// A digest that is well-formed but wrong.
std::string Spoiled(std::string md5) {
    md5[0] = md5[0] == '0' ? '1' : '0';
    return md5;
}

bool Read(const std::string& path, std::string* data, std::string* error) {
    return VexorEngine::ReadFileBytes(path, VexorEngine::kMaxDatFileSize, data, error);
}

bool Write(const std::string& path, const std::string& data, std::string* error) {
    return VexorEngine::WriteFileAtomically(path, data, error);
}

// Flips a byte in the middle of the file, keeping its size.
bool CorruptFile(const std::string& path, std::string* error) {
    std::string data;
    if (!Read(path, &data, error)) return false;
    if (data.empty()) return true;
    data[data.size() / 2] = static_cast<char>(data[data.size() / 2] ^ 0x5A);
    return Write(path, data, error);
}

int64_t NoonUtc(const Date& date) {
    struct tm parts {};
    parts.tm_year = date.year - 1900;
    parts.tm_mon = date.month - 1;
    parts.tm_mday = date.day;
    parts.tm_hour = 12;
    return static_cast<int64_t>(timegm(&parts));
}

// Packs files (full paths, stored under their own names, in the given order)
// into archive with 7za. Timestamps are set to the date and the tool runs in
// UTC, so the same files always give the same archive.
bool Pack(const std::vector<std::string>& files, const Date& date, const std::string& archive,
          std::string* error) {
    const int64_t when = NoonUtc(date);
    for (const std::string& file : files) {
        const struct timespec times[2] = {{static_cast<time_t>(when), 0},
                                          {static_cast<time_t>(when), 0}};
        ::utimensat(AT_FDCWD, file.c_str(), times, 0);
        ::chmod(file.c_str(), 0644);
    }
    ::unlink(archive.c_str());
    ::setenv("TZ", "UTC", 1);
    // 7za stores a member given by an absolute path under its name alone,
    // and one given by a relative path with its folders: always pass
    // absolute paths.
    std::vector<std::string> argv = {"7za", "a", "-tzip", "-mtc=off", "-bd", "-y",
                                     fs::absolute(archive).string()};
    for (const std::string& file : files) argv.push_back(fs::absolute(file).string());
    const auto outcome = TesselSoftware::RunChildProcess(argv, kPackTimeoutMs);
    if (outcome.kind != TesselSoftware::ChildOutcome::Kind::kExited || outcome.exit_code != 0) {
        *error = "7za could not pack " + archive;
        return false;
    }
    return true;
}

bool MakeFolder(const std::string& folder, std::string* error) {
    std::error_code code;
    fs::create_directories(folder, code);
    if (code) *error = "cannot create " + folder + ": " + code.message();
    return !code;
}

uint16_t DosDate(const Date& date) { return VexorEngine::PackDosDate(date.year, date.month, date.day); }

bool BuildSet(const std::string& base_text, uint32_t version, const Date& date, DatFiles* files,
              std::string* error) {
    const VersionLists lists = ListsForVersion(base_text, version);
    return VexorEngine::BuildDatFiles(lists.signatures, lists.extra, version, DosDate(date), files,
                                      error);
}

}  // namespace

std::optional<Date> ParseDate(const std::string& text) {
    Date date;
    char tail = 0;
    if (text.size() != 10 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &date.year, &date.month, &date.day, &tail) != 3) {
        return std::nullopt;
    }
    if (VexorEngine::PackDosDate(date.year, date.month, date.day) == 0) return std::nullopt;
    struct tm parts {};
    parts.tm_year = date.year - 1900;
    parts.tm_mon = date.month - 1;
    parts.tm_mday = date.day;
    const time_t when = timegm(&parts);
    struct tm back {};
    gmtime_r(&when, &back);
    if (back.tm_mday != date.day || back.tm_mon != date.month - 1) return std::nullopt;
    return date;
}

Date Today() {
    const time_t now = std::time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

std::string GeneratedMarker(uint64_t k) {
    char marker[64];
    const std::string id = std::to_string(k);
    std::snprintf(marker, sizeof marker, "VXGEN-%010llu-%08x-MARK",
                  static_cast<unsigned long long>(k), VexorEngine::Crc32(id));
    return marker;
}

VersionLists ListsForVersion(const std::string& base_text, uint32_t version) {
    VersionLists lists;
    bool in_extra = false;
    size_t start = 0;
    while (start < base_text.size()) {
        size_t end = base_text.find('\n', start);
        if (end == std::string::npos) end = base_text.size();
        std::string line = base_text.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line == "[extra]") {
            in_extra = true;
            continue;
        }
        (in_extra ? lists.extra : lists.signatures) += line + "\n";
    }
    for (uint64_t k = version; k <= 3ull * version + 2; ++k) {
        lists.signatures +=
            "Vexor.Gen." + std::to_string(k) + " ; repair ; \"" + GeneratedMarker(k) + "\"\n";
    }
    return lists;
}

std::string PatchName(uint32_t from) {
    return "avvdat-" + std::to_string(from) + "-" + std::to_string(from + 1) + ".upd";
}

bool WriteDatSet(const std::string& base_text, uint32_t version, const Date& date,
                 const std::string& out, std::string* error) {
    DatFiles files;
    return BuildSet(base_text, version, date, &files, error) && MakeFolder(out, error) &&
           VexorEngine::WriteDatFiles(out, files, error);
}

bool WriteSite(const std::string& base_text, uint32_t first, uint32_t last, uint32_t patches,
               const Date& date, const SiteFaults& faults, const std::string& out,
               std::string* error) {
    if (first == 0 || first > last) {
        *error = "the versions must be FIRST..LAST with 0 < FIRST <= LAST";
        return false;
    }
    if (patches > last - first) patches = last - first;
    if (!MakeFolder(out, error)) return false;
    const std::string root = out + "/";

    // The full archive of the newest version and its checksum catalogue.
    DatFiles newest;
    if (!BuildSet(base_text, last, date, &newest, error)) return false;
    const std::string stage = root + "~stage-" + std::to_string(last);
    if (!MakeFolder(stage, error) || !VexorEngine::WriteDatFiles(stage, newest, error)) return false;
    std::vector<std::string> members;
    for (const char* name : VexorEngine::kDatFileNames) {
        if (fs::exists(stage + "/" + name)) members.push_back(stage + "/" + name);
    }
    const std::string archive = root + "avvdat-" + std::to_string(last) + ".zip";
    if (!Pack(members, date, archive, error)) return false;
    fs::remove_all(stage);
    if (faults.corrupt == Corrupt::kArchive && !CorruptFile(archive, error)) return false;
    std::string archive_bytes;
    if (!Read(archive, &archive_bytes, error)) return false;
    std::string archive_md5 = Md5Hex(archive_bytes);
    if (faults.bad_md5 == BadMd5::kArchive) archive_md5 = Spoiled(archive_md5);
    if (!faults.no_avvdat_ini &&
        !Write(root + "avvdat.ini", "[AVV-ZIP]\r\nMD5=" + archive_md5 + "\r\n", error)) {
        return false;
    }

    // Patches from last - patches on, each to the next version.
    std::string table, resolver;
    if (patches > 0) {
        DatFiles previous;
        if (!BuildSet(base_text, last - patches, date, &previous, error)) return false;
        bool corrupted = false;
        for (uint32_t from = last - patches; from < last; ++from) {
            DatFiles next;
            if (from + 1 == last) {
                next = newest;
            } else if (!BuildSet(base_text, from + 1, date, &next, error)) {
                return false;
            }
            std::string patch;
            if (!VexorEngine::MakePatch(previous, next, &patch, error)) return false;
            const std::string id = "PATCH" + std::to_string(from);
            table += std::to_string(from) + "=" + id + "\r\n";
            resolver += id + "=" + PatchName(from) + "\r\n";
            if (faults.drop_patch != from) {
                if (faults.corrupt == Corrupt::kPatch && !corrupted) {
                    patch[patch.size() / 2] = static_cast<char>(patch[patch.size() / 2] ^ 0x5A);
                    corrupted = true;
                }
                if (!Write(root + PatchName(from), patch, error)) return false;
            }
            previous = std::move(next);
        }
        const std::string catalogue = "[Contents]\r\nCurrentVersion=" + std::to_string(last) +
                                      "\r\n[Multiple Patch Table]\r\n" + table +
                                      "[Incremental Resolver]\r\n" + resolver;
        if (!Write(root + kCatalogueName, catalogue, error)) return false;
        std::string catalogue_md5 = Md5Hex(catalogue);
        if (faults.bad_md5 == BadMd5::kCatalogue) catalogue_md5 = Spoiled(catalogue_md5);
        resolver = "[AVV-Incremental]\r\nFileName=" + std::string(kCatalogueName) + "\r\nMD5=" +
                   catalogue_md5 + "\r\n";
    } else {
        resolver.clear();
    }
    if (!faults.no_oem_ini &&
        !Write(root + "oem.ini", "[AVV-ZIP]\r\nDATVersion=" + std::to_string(last) + "\r\n" + resolver,
               error)) {
        return false;
    }
    return true;
}

bool WriteEngineRelease(const EngineRelease& release, const SiteFaults& faults,
                        const std::string& out, std::string* error) {
    unsigned parts[4];
    char tail = 0;
    if (std::sscanf(release.version.c_str(), "%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2],
                    &parts[3], &tail) != 4 ||
        parts[0] > 65535 || parts[1] > 65535 || parts[2] > 65535 || parts[3] > 65535) {
        *error = "the engine version must be a.b.c.d with parts up to 65535";
        return false;
    }
    if (release.engine_dir.empty() || release.engine_dir.find('/') != std::string::npos ||
        release.engine_dir.find("..") != std::string::npos) {
        *error = "the engine folder must be a plain name";
        return false;
    }
    const std::string folder = out + "/" + release.engine_dir;
    const std::string stage = out + "/~stage-engine";
    if (!MakeFolder(folder, error) || !MakeFolder(stage, error)) return false;
    std::string library;
    if (!Read(release.library, &library, error)) return false;
    const std::string staged = stage + "/mscan64a.so";
    if (!Write(staged, library, error)) return false;
    const TesselSoftware::FileVersion version{static_cast<uint16_t>(parts[0]), static_cast<uint16_t>(parts[1]),
                                              static_cast<uint16_t>(parts[2]), static_cast<uint16_t>(parts[3])};
    if (!TesselSoftware::WriteFileVersion(staged, version)) {
        *error = release.library + " carries no version note to stamp";
        return false;
    }
    const std::string companion = stage + "/mscan64a.txt";
    if (!Write(companion, "Vexor stand-in engine " + release.version + "\n", error)) return false;
    const std::string archive_name = "mscan64a-" + release.version + ".zip";
    if (!Pack({staged, companion}, release.date, folder + "/" + archive_name, error)) return false;
    fs::remove_all(stage);
    std::string archive;
    if (!Read(folder + "/" + archive_name, &archive, error)) return false;
    std::string md5 = Md5Hex(archive);
    if (faults.bad_md5 == BadMd5::kEngine) md5 = Spoiled(md5);
    std::string update = "[EngineUpdate]\r\nEngineVersion=" + release.version +
                         "\r\nArchiveName=" + archive_name + "\r\nMD5=" + md5 + "\r\n";
    if (!release.from_version.empty()) update += "FromVersion=" + release.from_version + "\r\n";
    // The version answer twice: EngineVersion.ini for folder and share
    // sources, and default.asp for web sites, whose version request
    // ("default.asp?version=...&engine=...&bits=64") a static server
    // answers with that file, whatever the query.
    const std::string answer = "[EngineUpdate]\r\nEngineDir=" + release.engine_dir + "\r\n";
    return Write(folder + "/EngineUpdate.ini", update, error) && Write(out + "/EngineVersion.ini", answer, error) &&
           Write(out + "/" + kEngineVersionRequestFile, answer, error);
}

bool IsCatalogueName(const std::string& file_name) {
    for (const char* name : {"oem.ini", "avvdat.ini", "avvdelta.ini", "EngineVersion.ini", kEngineVersionRequestFile,
                             "EngineUpdate.ini"}) {
        if (file_name == name) return true;
    }
    return false;
}

bool SignTree(const std::string& out, const std::string& secret_key_path, std::string* error,
              const SignOptions& options) {
    std::string text;
    if (!Read(secret_key_path, &text, error)) return false;
    TesselSoftware::Minisign::SecretKey key;
    if (!TesselSoftware::Minisign::ParseSecretKey(text, &key, error)) {
        *error = secret_key_path + " is not a usable secret key: " + *error;
        return false;
    }
    std::vector<fs::path> files;
    std::error_code failed;
    for (const auto& entry : fs::recursive_directory_iterator(out, failed)) {
        if (!entry.is_regular_file() || entry.path().extension() == ".minisig") continue;
        if (options.catalogues_only && !IsCatalogueName(entry.path().filename().string())) continue;
        files.push_back(entry.path());
    }
    if (failed) {
        *error = "cannot list " + out + ": " + failed.message();
        return false;
    }
    for (const fs::path& file : files) {
        // A signature vouches for the name the updater keeps the file under:
        // the version answer is kept as EngineVersion.ini however it is asked for.
        const std::string name =
            file.filename() == kEngineVersionRequestFile ? "EngineVersion.ini" : file.filename().string();
        TesselSoftware::Minisign::SignedTimes times;
        if (options.expires_seconds > 0 && IsCatalogueName(file.filename().string())) {
            times.signed_at = options.now != 0 ? options.now : static_cast<int64_t>(std::time(nullptr));
            times.expires_at = times.signed_at + options.expires_seconds;
        }
        std::string signature;
        if (!TesselSoftware::Minisign::SignFile(file.string(), name, key, &signature, error, times) ||
            !Write(file.string() + ".minisig", signature, error)) {
            return false;
        }
    }
    return true;
}

bool WriteKeyPair(const std::string& out, std::string* name, std::string* error) {
    std::string public_text, secret_text;
    if (!MakeFolder(out, error) || !TesselSoftware::Minisign::GenerateKeyPair(&public_text, &secret_text, error)) {
        return false;
    }
    if (name->empty()) {
        TesselSoftware::Minisign::PublicKey key;
        if (!TesselSoftware::Minisign::ParsePublicKey(public_text, &key, error)) return false;
        *name = "vexor-publisher-" + TesselSoftware::Minisign::KeyIdText(key.key_id);
    }
    if (name->find('/') != std::string::npos || *name == "." || *name == "..") {
        *error = "the key pair's name must be a plain file name";
        return false;
    }
    // Neither file of an existing pair is ever replaced: a key trusted on
    // gateways must not change under its name.
    const std::string secret_path = out + "/" + *name + ".key", public_path = out + "/" + *name + ".pub";
    if (::access(public_path.c_str(), F_OK) == 0) {
        *error = "cannot create " + public_path + " (it must not exist yet)";
        return false;
    }
    const int fd = ::open(secret_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "cannot create " + secret_path + " (it must not exist yet)";
        return false;
    }
    const bool written = ::write(fd, secret_text.data(), secret_text.size()) == static_cast<ssize_t>(secret_text.size());
    ::close(fd);
    if (!written) {
        *error = "cannot write " + secret_path;
        return false;
    }
    return Write(public_path, public_text, error);
}

bool WriteKeyPair(const std::string& out, std::string* error) {
    std::string name = "vexor-publisher";
    return WriteKeyPair(out, &name, error);
}

}  // namespace VexorPublisher
