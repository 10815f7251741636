// CDownloader: how every update file and file list is fetched, whatever
// the kind of source, and the process-wide factory that makes them.
//
//   auto downloader = CreateDownloader(settings.DATSource(), &settings.DatSourceSettings());
//   if (!downloader->Download("oem.ini", local)) log(downloader->LastError());
//
// A downloader is used by one update run on one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Common/Signatures/Minisign.h"
#include "core/SourceSettings.h"
#include "sources/CatalogueFreshness.h"
#include "core/UpdateProgress.h"

namespace TesselSoftware {

class CDownloader {
public:
    CDownloader(int32_t type, SourceSettings* settings)
        : type_(type), settings_(settings), progress_(CurrentUpdateProgress()) {}
    CDownloader(const CDownloader&) = delete;
    CDownloader& operator=(const CDownloader&) = delete;
    virtual ~CDownloader() = default;

    // Fetches remote_name (relative to the base location, "/"-separated) to
    // local_path, replacing it. False with LastError() set on failure.
    // While keys are trusted (RequiredSigners), the file's signature
    // (remote_name + ".minisig", before any "?") is fetched through the same
    // source right after and checked; the name it must vouch for is the
    // local file's name without a leading "~". A missing or bad signature
    // removes both files and throws SignatureException "The signature of
    // '<name>' is missing" / "... was made by an untrusted key (...)" /
    // "... does not match" / "... names another file" / ...
    bool Download(const std::string& remote_name, const std::string& local_path);
    // Download of a catalogue (oem.ini, avvdat.ini, avvdelta.ini, the engine
    // update files): capped at CatalogueLimit(), checked while it arrives.
    // While keys are trusted, the times its signature carries must also
    // pass CatalogueRefusal for the downloader's kind (else both files are
    // removed and SignatureException carries the refusal), and a catalogue
    // that passes is recorded as accepted.
    bool DownloadCatalogue(const std::string& remote_name, const std::string& local_path);
    // Which kind of source this is, for the signed times of its catalogues.
    void SetCatalogueKind(CatalogueKind kind) { kind_ = kind; }
    // Appends the names of the base location's entries whose whole name
    // matches pattern (Perl syntax; empty = every entry). The base
    // behaviour lists nothing and returns false.
    virtual bool ListFiles(const std::string& pattern, std::vector<std::string>* names);

    // Where remote_name is fetched from, for messages: the address (its
    // credentials left out) or the path.
    std::string AddressOf(const std::string& remote_name) const;

    const std::string& LastError() const { return last_error_; }
    int32_t LastCode() const { return last_code_; }
    int32_t Type() const { return type_; }
    const std::string& BaseLocation() const { return base_location_; }
    // Later calls use the new location.
    void SetBaseLocation(const std::string& location) { base_location_ = location; }
    SourceSettings* Settings() const { return settings_; }
    // Where Download reports its progress messages (may be nullptr).
    void SetProgress(IUpdateProgress* progress) { progress_ = progress; }

protected:
    // The kind's own fetch of one file, as Download describes it without
    // the signature check.
    virtual bool DownloadFile(const std::string& remote_name, const std::string& local_path) = 0;
    // The most bytes the download in progress may take.
    uint64_t DownloadLimit() const;
    void ClearLastError() {
        last_error_.clear();
        last_code_ = 0;
    }
    void SetLastError(std::string text) { last_error_ = std::move(text); }
    void SetLastCode(int32_t code) { last_code_ = code; }
    IUpdateProgress* Progress() const { return progress_; }
    // True while DownloadCatalogue runs (its signature included): the file
    // names the newest version, so no cache may answer with an old copy.
    bool FetchingCatalogue() const { return catalogue_; }

private:
    // Throws SignatureException unless local_path's signature checks out.
    void CheckSignature(const std::string& remote_name, const std::string& local_path,
                        const std::vector<Minisign::PublicKey>& keys);

    std::string last_error_;
    int32_t last_code_ = 0;
    const int32_t type_;
    std::string base_location_;
    SourceSettings* const settings_;  // not owned; outlives the downloader
    IUpdateProgress* progress_;
    uint64_t limit_ = 0;  // during DownloadCatalogue; 0: MaxUpdateFileBytes()
    bool catalogue_ = false;
    CatalogueKind kind_ = CatalogueKind::kDat;
};

// The most bytes one file from an update source may take on the local disk
// (a download, a copy, or an archive's unpacked contents): 2 GiB. A source
// that offers more fails before the disk fills.
inline constexpr uint64_t kMaxUpdateFileBytes = uint64_t{2} << 30;
// The limit in force: kMaxUpdateFileBytes unless a test lowered it.
uint64_t MaxUpdateFileBytes();
void SetMaxUpdateFileBytesForTesting(uint64_t bytes);
// The most bytes a catalogue may take after decoding: 16 MiB (a real one
// takes kilobytes), or MaxUpdateFileBytes() when that is lower.
inline constexpr uint64_t kMaxCatalogueBytes = uint64_t{16} << 20;
uint64_t CatalogueLimit();

using DownloaderCreator = std::function<std::shared_ptr<CDownloader>(SourceSettings*)>;

// Replaces any creator registered for the code. Safe from any thread.
void RegisterDownloader(int32_t type, DownloaderCreator creator);
// Throws ExceptionBase(0, "Asked to create downloader of unknown type: N").
std::shared_ptr<CDownloader> CreateDownloader(int32_t type, SourceSettings* settings);

}  // namespace TesselSoftware
