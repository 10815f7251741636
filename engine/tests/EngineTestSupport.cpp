#include "EngineTestSupport.h"

#include <archive.h>
#include <archive_entry.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "TestSupport.h"

namespace VexorEngine::Testing {

EngineLibrary::EngineLibrary(const std::string& path)
    : handle_(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) {
        ADD_FAILURE() << "dlopen " << path << ": " << ::dlerror();
        return;
    }
    initialise = reinterpret_cast<AVInitialiseFn>(::dlsym(handle_, kEngineExportInitialise));
    scan = reinterpret_cast<AVScanObjectFn>(::dlsym(handle_, kEngineExportScanObject));
    close = reinterpret_cast<AVCloseFn>(::dlsym(handle_, kEngineExportClose));
    update = reinterpret_cast<AVUpdateFn>(::dlsym(handle_, kEngineExportUpdate));
}

EngineLibrary::~EngineLibrary() {
    if (handle_ != nullptr) {
        ::dlclose(handle_);
    }
}

uint32_t Recorder::Callback(const EngineCallbackContext* context, uint16_t message,
                            uint64_t reserved, uint64_t parameter) {
    auto* self = reinterpret_cast<Recorder*>(context->context);
    if (context->size != sizeof(EngineCallbackContext) || reserved != 0) {
        self->Add("malformed callback arguments");
        return 0;
    }
    const auto* text = reinterpret_cast<const char*>(parameter);
    switch (message) {
        case kEngineMsgEnterObject:
            self->Add("enter");
            break;
        case kEngineMsgLeaveObject:
            self->Add("leave");
            break;
        case kEngineMsgObjectName:
            self->Add("name " + self->Show(text));
            break;
        case kEngineMsgNotScanned:
            self->Add("not-scanned " + std::to_string(parameter));
            break;
        case kEngineMsgInfected: {
            const auto* record = reinterpret_cast<const EngineVirusRecord*>(parameter);
            self->Add(record->size != sizeof(EngineVirusRecord)
                          ? "malformed virus record"
                          : "infected " + std::string(record->virus_name) + " in " +
                                self->Show(record->object_name) + " at " +
                                std::to_string(record->offset));
            break;
        }
        case kEngineMsgCleanFailed:
            self->Add("clean-failed");
            break;
        case kEngineMsgCleaned: {
            const auto* record = reinterpret_cast<const EngineCleanRecord*>(parameter);
            self->Add(record->size != sizeof(EngineCleanRecord)
                          ? "malformed clean record"
                          : "cleaned " + std::to_string(record->action) + " " +
                                self->Show(record->object_name));
            break;
        }
        case kEngineMsgContainerStart:
            self->Add("container-start");
            break;
        case kEngineMsgContainerEnd:
            self->Add("container-end");
            break;
        case kEngineMsgSummary:
            self->Add("summary " + std::to_string(parameter));
            break;
        default:
            self->Add("message " + std::to_string(message) + " " + std::to_string(parameter));
    }
    return 0;
}

std::string Recorder::Show(const char* text) const {
    std::string shown = text != nullptr ? text : "(null)";
    if (!strip_.empty() && shown.compare(0, strip_.size(), strip_) == 0) {
        shown = "$" + shown.substr(strip_.size());
    }
    return shown;
}

void Recorder::Add(std::string line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::move(line));
    threads_.push_back(std::this_thread::get_id());
}

std::vector<std::string> Recorder::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::string Recorder::Text() const {
    std::string text;
    for (const std::string& line : Lines()) {
        text += (text.empty() ? "" : "\n") + line;
    }
    return text;
}

void Recorder::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
    threads_.clear();
}

bool Recorder::OnlyOn(std::thread::id id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::all_of(threads_.begin(), threads_.end(), [id](auto seen) { return seen == id; });
}

InitCall::InitCall(const std::string& dat_folder, bool with_extra) {
    for (int i = 0; i < 4; ++i) {
        paths[i] = dat_folder + "/" + kDatFileNames[i];
    }
    for (int i = 0; i < 3; ++i) {
        dat_paths[i] = paths[i].c_str();
    }
    extra_paths[0] = paths[3].c_str();
    dat_list = EngineFileList{sizeof(EngineFileList), 3, 0, dat_paths};
    extra_list = EngineFileList{sizeof(EngineFileList), 1, 0, extra_paths};
    const auto address = [](const void* p) { return reinterpret_cast<uint64_t>(p); };
    items.push_back(
        {16, kEngineTagCallback, 8, address(reinterpret_cast<void*>(&Recorder::Callback))});
    items.push_back({16, kEngineTagDatFiles, 16, address(&dat_list)});
    if (with_extra) {
        items.push_back({16, kEngineTagExtraDatFiles, 16, address(&extra_list)});
    }
    items.push_back({16, kEngineTagInterfaceKey, 8, kEngineInterfaceKey});
    items.push_back({16, kEngineTagEngineFolder, static_cast<uint32_t>(engine_folder.size() + 1),
                     address(engine_folder.c_str())});
    request.size = sizeof(EngineRequest);
    result.size = sizeof(EngineInitResult);
}

EngineTagItem* InitCall::Item(uint16_t tag) {
    for (EngineTagItem& item : items) {
        if (item.tag == tag) {
            return &item;
        }
    }
    ADD_FAILURE() << "no item with tag " << tag;
    return &items.front();
}

void InitCall::Remove(uint16_t tag) {
    items.erase(std::remove_if(items.begin(), items.end(),
                               [tag](const EngineTagItem& item) { return item.tag == tag; }),
                items.end());
}

uint16_t InitCall::Run(EngineLibrary& engine, bool point_items) {
    if (point_items) {
        request.items = items.data();
        request.count = static_cast<uint16_t>(items.size());
    }
    return engine.initialise(&request, &result);
}

ScanCall::ScanCall(const std::string& file, Recorder* recorder, bool clean) : path(file) {
    object.size = sizeof(EngineObjectDescriptor);
    object.kind = 4;
    object.count = 1;
    object.path = path.c_str();
    const auto address = [](const void* p) { return reinterpret_cast<uint64_t>(p); };
    items.push_back(
        {16, kEngineTagCallback, 8, address(reinterpret_cast<void*>(&Recorder::Callback))});
    items.push_back({16, kEngineTagObject, 28, address(&object)});
    for (const uint16_t flag : {502, 561, 400, 401, 403, 404, 517}) {
        items.push_back({16, flag, 0, 0});
    }
    items.push_back({16, kEngineTagCallbackContext, 8, address(recorder)});
    if (clean) {
        items.push_back({16, kEngineTagClean, 0, 0});
    }
    request.size = sizeof(EngineRequest);
}

EngineTagItem* ScanCall::Item(uint16_t tag) {
    for (EngineTagItem& item : items) {
        if (item.tag == tag) {
            return &item;
        }
    }
    ADD_FAILURE() << "no item with tag " << tag;
    return &items.front();
}

uint16_t ScanCall::Run(EngineLibrary& engine, uint64_t handle, uint64_t reserved) {
    request.items = items.data();
    request.count = static_cast<uint16_t>(items.size());
    return engine.scan(handle, &request, reserved);
}

std::string SampleSignatureList() {
    return TesselSoftware::Testing::ReadFile(VEXOR_ENGINE_SAMPLES);
}

DatFiles WriteSampleSet(const std::string& folder, const std::string& extra_list) {
    DatFiles files;
    std::string error;
    EXPECT_TRUE(BuildDatFiles(SampleSignatureList(), extra_list, 6543, PackDosDate(2024, 5, 17),
                              &files, &error))
        << error;
    EXPECT_TRUE(WriteDatFiles(folder, files, &error)) << error;
    return files;
}

void StartedEngineTest::SetUp() {
    WriteSampleSet(dir_ / "dat");
    ASSERT_TRUE(engine_.loaded());
    InitCall init(dir_ / "dat", false);
    ASSERT_EQ(0, init.Run(engine_));
    handle_ = init.result.handle;
}

void StartedEngineTest::TearDown() {
    if (handle_ != 0) {
        EXPECT_EQ(0, engine_.close(handle_));
    }
}

std::string StartedEngineTest::Scan(const std::string& name, bool clean) {
    Recorder recorder(dir_.path());
    ScanCall call(dir_ / name, &recorder, clean);
    EXPECT_EQ(0, call.Run(engine_, handle_));
    EXPECT_TRUE(recorder.OnlyOn(std::this_thread::get_id()));
    return recorder.Text();
}

namespace {

la_ssize_t AppendToString(archive*, void* out, const void* data, size_t size) {
    static_cast<std::string*>(out)->append(static_cast<const char*>(data), size);
    return static_cast<la_ssize_t>(size);
}

}  // namespace

std::string MakeZip(const std::vector<ZipMember>& members) {
    std::string out;
    std::unique_ptr<archive, decltype(&archive_write_free)> a(archive_write_new(),
                                                              &archive_write_free);
    archive_write_set_format_zip(a.get());
    archive_write_set_bytes_per_block(a.get(), 0);
    EXPECT_EQ(ARCHIVE_OK,
              archive_write_open2(a.get(), &out, nullptr, &AppendToString, nullptr, nullptr));
    for (const ZipMember& member : members) {
        EXPECT_FALSE(member.encrypted) << "use MakeStoredZip";
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(),
                                                                            &archive_entry_free);
        archive_entry_set_pathname(entry.get(), member.name.c_str());
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_perm(entry.get(), 0644);
        archive_entry_set_mtime(entry.get(), 1715904000, 0);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(member.data.size()));
        EXPECT_EQ(ARCHIVE_OK, archive_write_header(a.get(), entry.get()))
            << archive_error_string(a.get());
        if (!member.data.empty()) {
            archive_write_data(a.get(), member.data.data(), member.data.size());
        }
    }
    EXPECT_EQ(ARCHIVE_OK, archive_write_close(a.get()));
    return out;
}

namespace {

void Put16(std::string& out, uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

}  // namespace

std::string MakeStoredZip(const std::vector<ZipMember>& members) {
    std::string zip, directory;
    for (const ZipMember& m : members) {
        const uint32_t offset = static_cast<uint32_t>(zip.size());
        std::string data = m.data;
        if (m.encrypted) {
            for (char& c : data) {
                c = static_cast<char>(c ^ 0x5C);
            }
            data = std::string(12, '\x33') + data;
        }
        const uint16_t flags = m.encrypted ? 1 : 0;
        const uint32_t crc = Crc32(m.data);
        const auto common = [&](std::string& out) {
            Put16(out, 20);  // version needed
            Put16(out, flags);
            Put16(out, 0);       // stored
            Put16(out, 0);       // time
            Put16(out, 0x58B1);  // date
            Put32(out, crc);
            Put32(out, static_cast<uint32_t>(data.size()));
            Put32(out, static_cast<uint32_t>(m.data.size()));
            Put16(out, static_cast<uint32_t>(m.name.size()));
            Put16(out, 0);  // extra field
        };
        Put32(zip, 0x04034b50);
        common(zip);
        zip += m.name + data;
        Put32(directory, 0x02014b50);
        Put16(directory, 20);  // made by
        common(directory);
        Put16(directory, 0);  // comment
        Put16(directory, 0);  // disk
        Put16(directory, 0);  // internal attributes
        Put32(directory, 0);  // external attributes
        Put32(directory, offset);
        directory += m.name;
    }
    const uint32_t directory_at = static_cast<uint32_t>(zip.size());
    zip += directory;
    Put32(zip, 0x06054b50);
    Put16(zip, 0);
    Put16(zip, 0);
    Put16(zip, static_cast<uint32_t>(members.size()));
    Put16(zip, static_cast<uint32_t>(members.size()));
    Put32(zip, static_cast<uint32_t>(directory.size()));
    Put32(zip, directory_at);
    Put16(zip, 0);
    return zip;
}

std::string ListZip(const std::string& zip) {
    std::unique_ptr<archive, decltype(&archive_read_free)> a(archive_read_new(),
                                                             &archive_read_free);
    archive_read_support_format_zip(a.get());
    if (archive_read_open_memory(a.get(), zip.data(), zip.size()) != ARCHIVE_OK) {
        return "unreadable";
    }
    std::string listing;
    archive_entry* entry = nullptr;
    int r;
    while ((r = archive_read_next_header(a.get(), &entry)) == ARCHIVE_OK) {
        std::string data;
        char buffer[4096];
        la_ssize_t got;
        while ((got = archive_read_data(a.get(), buffer, sizeof buffer)) > 0) {
            data.append(buffer, static_cast<size_t>(got));
        }
        if (got < 0) {
            return "unreadable";
        }
        listing +=
            (listing.empty() ? "" : "\n") + std::string(archive_entry_pathname(entry)) + "=" + data;
    }
    return r == ARCHIVE_EOF ? listing : "unreadable";
}

}  // namespace VexorEngine::Testing
