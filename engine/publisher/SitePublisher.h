// Building update-site trees for the stand-in engine: DAT sets, full
// archives with their checksum catalogue, "oem.ini", the delta catalogue
// with its patches, and engine releases. Output is deterministic: the same
// inputs give the same bytes, archives included (fixed timestamps, order).
//
// Faults can be asked for, each breaking the site in exactly one way, so the
// updater's tests meet every kind of bad source.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace VexorPublisher {

struct Date {
    int year = 0, month = 0, day = 0;
};
// "YYYY-MM-DD"; nullopt for anything else or an impossible date.
std::optional<Date> ParseDate(const std::string& text);
Date Today();

// The signature list of version v: the base list (text before a line
// "[extra]") plus generated signatures Vexor.Gen.<k> for k = v .. 3v+2, so
// each version adds three signatures and drops one. The extra section, when
// present, becomes extra.dat unchanged.
struct VersionLists {
    std::string signatures;
    std::string extra;
};
VersionLists ListsForVersion(const std::string& base_text, uint32_t version);
// The byte marker of generated signature k (what a file must hold to match).
std::string GeneratedMarker(uint64_t k);
// A marker only version v's set detects (absent from every older version).
inline std::string MarkerOnlyIn(uint32_t version) { return GeneratedMarker(3ull * version + 2); }

enum class BadMd5 { kNone, kArchive, kCatalogue, kEngine };
enum class Corrupt { kNone, kArchive, kPatch };

struct SiteFaults {
    BadMd5 bad_md5 = BadMd5::kNone;
    Corrupt corrupt = Corrupt::kNone;
    std::optional<uint32_t> drop_patch;  // the patch starting at this version
    bool no_avvdat_ini = false;
    bool no_oem_ini = false;
};

inline constexpr char kCatalogueName[] = "avvdelta.ini";
// "avvdat-<from>-<to>.upd"
std::string PatchName(uint32_t from);

// Each returns false with *error on failure; out folders are created.
bool WriteDatSet(const std::string& base_text, uint32_t version, const Date& date,
                 const std::string& out, std::string* error);
// A site whose newest version is last, with patches from last-patches to
// last-1 (each to the next version).
bool WriteSite(const std::string& base_text, uint32_t first, uint32_t last, uint32_t patches,
               const Date& date, const SiteFaults& faults, const std::string& out,
               std::string* error);

// The file of an engine site that answers the updater's version request
// "default.asp?version=...&engine=...&bits=64" on a static web server.
inline constexpr char kEngineVersionRequestFile[] = "default.asp";

struct EngineRelease {
    std::string version;       // a.b.c.d
    std::string engine_dir;    // folder name on the site
    std::string from_version;  // optional: the installed version it applies to
    std::string library;       // the built mscan64a.so to stamp and pack
    Date date;
};
bool WriteEngineRelease(const EngineRelease& release, const SiteFaults& faults,
                        const std::string& out, std::string* error);

// How a tree is signed. With expires_seconds above 0, each catalogue's
// trusted comment also carries its signing time (now) and its end of use
// (now + expires_seconds), and catalogues_only leaves every other file's
// signature as it is (a re-signing that changes no file).
struct SignOptions {
    int64_t expires_seconds = 0;
    bool catalogues_only = false;
    int64_t now = 0;  // 0: the clock's time
};
// The files gateways read the newest versions from: oem.ini, avvdat.ini,
// avvdelta.ini, the version answer (EngineVersion.ini, default.asp) and
// EngineUpdate.ini.
bool IsCatalogueName(const std::string& file_name);
// Writes NAME.minisig beside every file below out (but signatures), signed
// with the unencrypted minisign secret key at secret_key_path, trusted
// comment "file:NAME" (and the times options ask for, on catalogues).
bool SignTree(const std::string& out, const std::string& secret_key_path, std::string* error,
              const SignOptions& options = {});
// A new key pair in minisign's formats: out/NAME.pub and out/NAME.key
// (0600, not encrypted); neither may exist yet. An empty *name becomes
// "vexor-publisher-<KEY ID>", so the pairs of a rotation never share names.
bool WriteKeyPair(const std::string& out, std::string* name, std::string* error);
// The same with the name "vexor-publisher".
bool WriteKeyPair(const std::string& out, std::string* error);

}  // namespace VexorPublisher
