#include "Common/Platform/ShareConnection.h"

#include <fcntl.h>
#include <libsmbclient.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Common/Errors/ErrorText.h"
#include "Common/Errors/Win32Error.h"
#include "Common/Text/PercentEncoding.h"

namespace TesselSoftware {

namespace {

constexpr int kTimeoutMs = 20000;

std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (const char c : path + "\\") {
        if (c == '\\' || c == '/') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    return parts;
}

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace

struct ShareConnection::Context {
    SMBCCTX* smb = nullptr;
    std::string server;
    std::string share;
    std::string workgroup;
    std::string user;
    std::string password;

    ~Context() {
        if (smb != nullptr) smbc_free_context(smb, 1);
        std::fill(password.begin(), password.end(), '\0');
    }

    // libsmbclient asks for the account of each server it logs on to.
    static void Authenticate(SMBCCTX* smb, const char*, const char*, char* workgroup, int workgroup_size,
                             char* user, int user_size, char* password, int password_size) {
        const auto* self = static_cast<const Context*>(smbc_getOptionUserData(smb));
        std::snprintf(workgroup, static_cast<size_t>(workgroup_size), "%s", self->workgroup.c_str());
        std::snprintf(user, static_cast<size_t>(user_size), "%s", self->user.c_str());
        std::snprintf(password, static_cast<size_t>(password_size), "%s", self->password.c_str());
    }
};

ShareConnection::ShareConnection(std::unique_ptr<Context> context) : context_(std::move(context)) {}

ShareConnection::~ShareConnection() = default;

std::string ShareConnection::Url(const std::string& path) const {
    std::string url = "smb://" + PercentEncode(context_->server);
    if (!context_->share.empty()) url += "/" + PercentEncode(context_->share);
    for (const std::string& part : Components(path)) url += "/" + PercentEncode(part);
    return url;
}

std::unique_ptr<ShareConnection> ShareConnection::Connect(const std::string& root, const std::string& user,
                                                          const std::string& password, uint32_t* error) {
    // Each connection has a context of its own; Debian's library does its
    // own thread set-up (it exports no smbc_thread_posix to call).
    const std::vector<std::string> parts = Components(root);
    if (parts.empty()) {
        *error = Win32::kBadNetPath;
        return nullptr;
    }
    auto context = std::make_unique<Context>();
    context->server = parts[0];
    context->share = parts.size() > 1 ? parts[1] : "";
    const size_t slash = user.find('\\');
    context->workgroup = slash == std::string::npos ? "" : user.substr(0, slash);
    context->user = slash == std::string::npos ? user : user.substr(slash + 1);
    context->password = password;

    context->smb = smbc_new_context();
    if (context->smb == nullptr) {
        *error = Win32::kNotEnoughMemory;
        return nullptr;
    }
    SMBCCTX* const smb = context->smb;
    smbc_setDebug(smb, 0);
    smbc_setOptionDebugToStderr(smb, 1);  // standard output carries -once's progress
    smbc_setOptionUserData(smb, context.get());
    smbc_setFunctionAuthDataWithContext(smb, &Context::Authenticate);
    // A refused account is refused: no quiet retry as a guest.
    smbc_setOptionNoAutoAnonymousLogin(smb, context->user.empty() ? 0 : 1);
    smbc_setTimeout(smb, kTimeoutMs);
    if (smbc_init_context(smb) == nullptr) {
        *error = ErrnoToWin32(errno);
        context->smb = nullptr;  // smbc_init_context freed nothing; free it ourselves
        smbc_free_context(smb, 1);
        return nullptr;
    }

    std::unique_ptr<ShareConnection> connection(new ShareConnection(std::move(context)));
    const auto open_folder = [&](const std::string& url) {
        SMBCFILE* folder = smbc_getFunctionOpendir(smb)(smb, url.c_str());
        if (folder != nullptr) smbc_getFunctionClosedir(smb)(smb, folder);
        return folder != nullptr ? 0 : errno;
    };
    const int failure = open_folder(connection->Url(""));
    if (failure == 0) {
        *error = Win32::kSuccess;
        return connection;
    }
    const bool share_given = !connection->context_->share.empty();
    if (failure == EACCES || failure == EPERM) {
        // Both a refused login and a share that refuses the account say
        // EACCES; the server itself tells them apart.
        const bool login_works =
            share_given && open_folder("smb://" + PercentEncode(connection->context_->server)) == 0;
        *error = login_works ? Win32::kAccessDenied : Win32::kInvalidPassword;
    } else if (share_given && (failure == ENOENT || failure == ENODEV || failure == ENXIO)) {
        *error = Win32::kBadNetName;
    } else {
        *error = ErrnoToWin32(failure);
    }
    return nullptr;
}

bool ShareConnection::CopyFile(const std::string& path, const std::string& local_path, uint64_t max_bytes,
                               std::string* error) {
    SMBCCTX* const smb = context_ ? context_->smb : nullptr;
    if (smb == nullptr) {
        *error = "the share is not connected";
        return false;
    }
    const auto fail = [&](int code) {
        *error = FormatErrorText(ErrnoToWin32(code), kErrorTextAuto);
        ::unlink(local_path.c_str());
        return false;
    };
    SMBCFILE* remote = smbc_getFunctionOpen(smb)(smb, Url(path).c_str(), O_RDONLY, 0);
    if (remote == nullptr) {
        *error = FormatErrorText(ErrnoToWin32(errno), kErrorTextAuto);
        return false;
    }
    struct RemoteCloser {
        SMBCCTX* smb;
        SMBCFILE* file;
        ~RemoteCloser() { smbc_getFunctionClose(smb)(smb, file); }
    } close_remote{smb, remote};
    const int out = ::open(local_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        *error = FormatErrorText(ErrnoToWin32(errno), kErrorTextAuto);
        return false;
    }
    std::vector<char> block(1 << 16);
    uint64_t copied = 0;
    for (;;) {
        const ssize_t got = smbc_getFunctionRead(smb)(smb, remote, block.data(), block.size());
        if (got < 0) {
            const int code = errno;
            ::close(out);
            return fail(code);
        }
        if (got == 0) break;
        copied += static_cast<uint64_t>(got);
        if (copied > max_bytes) {
            ::close(out);
            ::unlink(local_path.c_str());
            *error = "the file is larger than the limit of " + std::to_string(max_bytes) + " bytes";
            return false;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out, block.data() + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) {
                const int code = put < 0 ? errno : ENOSPC;
                ::close(out);
                return fail(code);
            }
            done += put;
        }
    }
    if (::close(out) != 0) return fail(errno);
    return true;
}

bool ShareConnection::ListFolder(const std::string& folder, std::vector<std::string>* names) {
    SMBCCTX* const smb = context_ ? context_->smb : nullptr;
    if (smb == nullptr) return false;
    SMBCFILE* dir = smbc_getFunctionOpendir(smb)(smb, Url(folder).c_str());
    if (dir == nullptr) return false;
    while (const struct smbc_dirent* entry = smbc_getFunctionReaddir(smb)(smb, dir)) {
        const std::string name = entry->name;
        if (name == "." || name == "..") continue;
        if (entry->smbc_type == SMBC_FILE || entry->smbc_type == SMBC_DIR) names->push_back(name);
    }
    smbc_getFunctionClosedir(smb)(smb, dir);
    return true;
}

uint32_t ShareConnection::Disconnect() {
    if (!context_ || context_->smb == nullptr) return Win32::kNotConnected;
    // Not forced: a file still open keeps the connection, as on Windows.
    if (smbc_free_context(context_->smb, 0) != 0) return errno == EBUSY ? Win32::kOpenFiles : ErrnoToWin32(errno);
    context_->smb = nullptr;
    return Win32::kSuccess;
}

std::string FindShareMount(const std::string& root, const std::string& mountinfo) {
    std::ifstream in(mountinfo);
    const std::vector<std::string> wanted = Components(LowerAscii(root));
    if (wanted.size() < 2) return {};
    // Octal escapes (\040 for a space) as the kernel writes them.
    const auto decode = [](const std::string& text) {
        std::string out;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3' && text[i + 2] >= '0' && text[i + 2] <= '7' &&
                text[i + 3] >= '0' && text[i + 3] <= '7') {
                out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
                i += 3;
            } else {
                out += text[i];
            }
        }
        return out;
    };
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, mount_root, mount_point, field;
        if (!(fields >> id >> parent >> device >> mount_root >> mount_point)) continue;
        while (fields >> field && field != "-") {
        }
        std::string type, source;
        if (!(fields >> type >> source)) continue;
        if (type != "cifs" && type != "smb3") continue;
        const std::vector<std::string> mounted = Components(LowerAscii(decode(source)));
        // Only a mount of the share root itself stands for the root: not a
        // bind mount of one of its folders (whose mount root is that folder).
        if (mount_root == "/" && mounted.size() == 2 && mounted[0] == wanted[0] && mounted[1] == wanted[1]) {
            return decode(mount_point);
        }
    }
    return {};
}

}  // namespace TesselSoftware
