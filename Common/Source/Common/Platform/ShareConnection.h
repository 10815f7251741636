// A connection to a network share (\\server\share) over SMB, through
// libsmbclient: one client context per connection, so connecting and
// dropping are what the object's life says, and nothing is shared between
// calls. Credentials reach the library through its authentication callback,
// never in a URL; a refused login is never retried as a guest.
//
//   uint32_t error = 0;
//   auto share = ShareConnection::Connect("\\\\files\\updates", "CORP\\svc", password, &error);
//   if (!share) ...  // 86 login refused, 5 access denied, 67 unknown share, ...
//   share->CopyFile("dat\\oem.ini", "/tmp/oem.ini", limit, &why);
//
// Not safe for concurrent use; one connection belongs to one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace TesselSoftware {

class ShareConnection {
public:
    // Connects to root, a "\\server\share" or "\\server" path, as user (a
    // "DOMAIN\user" name names its workgroup) with password; an empty user
    // connects anonymously. nullptr with a Win32 number in *error: 86 the
    // login was refused, 5 the share refused the account, 67 no such share,
    // otherwise the system's number for what went wrong (10061 refused, ...).
    static std::unique_ptr<ShareConnection> Connect(const std::string& root, const std::string& user,
                                                    const std::string& password, uint32_t* error);
    ~ShareConnection();
    ShareConnection(const ShareConnection&) = delete;
    ShareConnection& operator=(const ShareConnection&) = delete;

    // Copies the file at path ("\"-separated, below the root) over
    // local_path, at most max_bytes of it. False with the reason in *error;
    // a failed copy leaves no local file.
    bool CopyFile(const std::string& path, const std::string& local_path, uint64_t max_bytes,
                  std::string* error);
    // The names in folder ("\"-separated, below the root; "" = the root),
    // without "." and "..". False when the folder cannot be read.
    bool ListFolder(const std::string& folder, std::vector<std::string>* names);
    // Drops the connection; 0 or the Win32 number of the failure. Later
    // calls fail.
    uint32_t Disconnect();

private:
    struct Context;
    explicit ShareConnection(std::unique_ptr<Context> context);
    std::string Url(const std::string& path) const;

    std::unique_ptr<Context> context_;
};

// Where the machine has root mounted (a cifs or smb3 mount of that
// \\server\share, compared ignoring case), or "" when it has not.
// mountinfo is read as the kernel's /proc/self/mountinfo is laid out.
std::string FindShareMount(const std::string& root,
                           const std::string& mountinfo = "/proc/self/mountinfo");

}  // namespace TesselSoftware
