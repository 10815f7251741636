#include "TestSupport.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <grp.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace TesselSoftware::Testing {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vexor-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed for " << pattern;
    }
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code error;
    // Restore write permission first so read-only test folders go too.
    for (auto it = fs::recursive_directory_iterator(path_, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (!it->is_symlink()) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
        }
    }
    fs::remove_all(path_, error);
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void WriteFile(const std::string& path, const std::string& data) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool Exists(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

ChildResult RunInChild(const std::function<int(int out_fd)>& fn, bool drop_to_nobody) {
    ChildResult result;
    int fds[2];
    if (::pipe(fds) != 0) {
        ADD_FAILURE() << "pipe failed";
        return result;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        return result;
    }
    if (pid == 0) {
        ::close(fds[0]);
        if (drop_to_nobody && ::geteuid() == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(kNobodyId) != 0 ||
                ::setuid(kNobodyId) != 0) {
                ::_exit(125);
            }
        }
        int code = 126;
        try {
            code = fn(fds[1]);
        } catch (...) {
        }
        ::_exit(code);
    }
    ::close(fds[1]);
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, got);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

SpawnedProcess::SpawnedProcess(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe(fds) != 0) {
        ADD_FAILURE() << "pipe failed";
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        ADD_FAILURE() << "cannot start " << argv[0];
        return;
    }
    pid_ = pid;
    out_fd_ = fds[0];
}

SpawnedProcess::~SpawnedProcess() {
    if (pid_ > 0) {
        Kill(SIGKILL);
        Wait();
    }
    if (out_fd_ >= 0) ::close(out_fd_);
}

std::string SpawnedProcess::ReadLine() {
    for (;;) {
        const size_t end = buffered_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        char chunk[512];
        const ssize_t got = out_fd_ >= 0 ? ::read(out_fd_, chunk, sizeof chunk) : 0;
        if (got <= 0) {
            std::string rest;
            rest.swap(buffered_);
            return rest;
        }
        buffered_.append(chunk, static_cast<size_t>(got));
    }
}

void SpawnedProcess::Kill(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
}

int SpawnedProcess::Wait(std::string* output) {
    if (pid_ <= 0) return -1;
    std::string rest = buffered_;
    buffered_.clear();
    char chunk[512];
    ssize_t got;
    while (out_fd_ >= 0 && (got = ::read(out_fd_, chunk, sizeof chunk)) > 0) rest.append(chunk, got);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    if (output) *output = rest;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) {
        had_value_ = true;
        old_value_ = old;
    }
    ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (had_value_) {
        ::setenv(name_.c_str(), old_value_.c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

std::vector<std::string> SortedNames(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

bool WriteKernelSetting(const std::string& path, const std::string& value) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    const bool written = std::fputs(value.c_str(), file) >= 0;
    return std::fclose(file) == 0 && written;
}

}  // namespace

ScopedSysctl::ScopedSysctl(const std::string& path, const std::string& value) : path_(path) {
    if (std::FILE* file = std::fopen(path.c_str(), "r")) {
        char text[64] = {};
        if (std::fgets(text, sizeof text, file) != nullptr) old_value_ = text;
        std::fclose(file);
    }
    applied_ = !old_value_.empty() && WriteKernelSetting(path, value);
}

ScopedSysctl::~ScopedSysctl() {
    if (applied_) WriteKernelSetting(path_, old_value_);
}

FaultyRegistryStore::FaultyRegistryStore(std::shared_ptr<RegistryStore> inner)
    : RegistryStore(inner->path()), inner_(std::move(inner)) {}

std::shared_ptr<FaultyRegistryStore> FaultyRegistryStore::Serve() {
    auto store = std::make_shared<FaultyRegistryStore>(RegistryStore::Default());
    RegistryStore::ServeForTesting(store->path(), store);
    return store;
}

uint32_t FaultyRegistryStore::OpenKey(const Key& parent, std::string_view sub_key,
                                      uint32_t access, Key* out) {
    return Outer(inner_->OpenKey(Inner(parent), sub_key, access, out), out);
}
uint32_t FaultyRegistryStore::CreateKey(const Key& parent, std::string_view sub_key,
                                        uint32_t access, Key* out, bool* created) {
    return Outer(inner_->CreateKey(Inner(parent), sub_key, access, out, created), out);
}
uint32_t FaultyRegistryStore::DeleteKey(const Key& parent, std::string_view sub_key) {
    return inner_->DeleteKey(Inner(parent), sub_key);
}
uint32_t FaultyRegistryStore::QueryValue(const Key& key, std::string_view name, uint32_t* type,
                                         void* data, uint32_t* size) {
    if (const uint32_t fault = query_faults.Find(std::string(name)); fault != 0) return fault;
    return inner_->QueryValue(Inner(key), name, type, data, size);
}
uint32_t FaultyRegistryStore::SetValue(const Key& key, std::string_view name, uint32_t type,
                                       const void* data, uint32_t size) {
    if (const uint32_t fault = write_faults.Find(std::string(name)); fault != 0) return fault;
    return inner_->SetValue(Inner(key), name, type, data, size);
}
uint32_t FaultyRegistryStore::DeleteValue(const Key& key, std::string_view name) {
    return inner_->DeleteValue(Inner(key), name);
}
uint32_t FaultyRegistryStore::SetValues(const Key& key, const std::vector<ValueWrite>& values,
                                        size_t* failed, ForReaders readers) {
    for (size_t i = 0; i < values.size(); ++i) {
        if (const uint32_t fault = write_faults.Find(values[i].name); fault != 0) {
            *failed = i;
            return fault;  // the batch is all or nothing
        }
    }
    return inner_->SetValues(Inner(key), values, failed, readers);
}
uint32_t FaultyRegistryStore::EnumKey(const Key& key, uint32_t index, std::string* name) {
    return inner_->EnumKey(Inner(key), index, name);
}
uint32_t FaultyRegistryStore::EnumValue(const Key& key, uint32_t index, std::string* name,
                                        uint32_t* type, std::string* data) {
    return inner_->EnumValue(Inner(key), index, name, type, data);
}

}  // namespace TesselSoftware::Testing
