#include "sources/CertificateLookup.h"

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Common/Platform/MachineLayout.h"

namespace TesselSoftware {

namespace {

// The bundle's certificates as they were when it was read.
class MachineRoots {
public:
    MachineRoots() {
        std::FILE* file = std::fopen(MachineLayout::CaBundlePath().c_str(), "r");
        if (file == nullptr) return;  // no bundle: nothing is trusted
        while (X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr)) {
            certificates_.push_back(certificate);
        }
        std::fclose(file);
    }
    ~MachineRoots() {
        for (X509* certificate : certificates_) X509_free(certificate);
    }
    MachineRoots(const MachineRoots&) = delete;
    MachineRoots& operator=(const MachineRoots&) = delete;

    template <typename Match>
    X509* Find(Match&& match) const {
        for (X509* certificate : certificates_) {
            if (match(certificate)) return certificate;
        }
        return nullptr;
    }

private:
    std::vector<X509*> certificates_;
};

// The bundle's certificates, read again whenever the bundle file changed
// (another file, size or modification time): a root the administrator
// removed stops being trusted at the next handshake, without a restart.
// Callers keep the returned set alive while they use its certificates.
std::shared_ptr<const MachineRoots> Roots() {
    static std::mutex mutex;
    static std::shared_ptr<const MachineRoots> roots;  // GUARDED_BY(mutex)
    static std::string seen;                            // GUARDED_BY(mutex)
    const std::string path = MachineLayout::CaBundlePath();
    struct stat info {};
    std::string identity = path;
    if (::stat(path.c_str(), &info) == 0) {
        identity += ":" + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
                    std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) + "." +
                    std::to_string(info.st_mtim.tv_nsec);
    }
    std::lock_guard lock(mutex);
    if (!roots || identity != seen) {
        roots = std::make_shared<const MachineRoots>();
        seen = identity;
    }
    return roots;
}

// Hands a hit to OpenSSL: into the store, which keeps its own reference,
// and into ret, which only borrows it (as the built-in lookups' answers
// do: the caller takes its own reference from ret).
int Answer(X509_LOOKUP* lookup, X509* certificate, X509_OBJECT* ret) {
    if (certificate == nullptr) return 0;
    X509_STORE_add_cert(X509_LOOKUP_get_store(lookup), certificate);
    if (X509_OBJECT_set1_X509(ret, certificate) != 1) return 0;
    X509_free(certificate);  // drop the reference set1 took
    return 1;
}

int BySubject(X509_LOOKUP* lookup, X509_LOOKUP_TYPE type, const X509_NAME* name, X509_OBJECT* ret) {
    if (type != X509_LU_X509 || name == nullptr) return 0;
    return Answer(lookup, Roots()->Find([&](X509* c) { return X509_NAME_cmp(X509_get_subject_name(c), name) == 0; }),
                  ret);
}

int ByIssuerSerial(X509_LOOKUP* lookup, X509_LOOKUP_TYPE type, const X509_NAME* name,
                   const ASN1_INTEGER* serial, X509_OBJECT* ret) {
    if (type != X509_LU_X509 || name == nullptr || serial == nullptr) return 0;
    return Answer(lookup, Roots()->Find([&](X509* c) {
                      return X509_NAME_cmp(X509_get_issuer_name(c), name) == 0 &&
                             ASN1_INTEGER_cmp(X509_get0_serialNumber(c), serial) == 0;
                  }),
                  ret);
}

int ByFingerprint(X509_LOOKUP* lookup, X509_LOOKUP_TYPE type, const unsigned char* bytes, int length,
                  X509_OBJECT* ret) {
    if (type != X509_LU_X509 || bytes == nullptr || length != 20) return 0;
    return Answer(lookup, Roots()->Find([&](X509* c) {
                      unsigned char digest[20];
                      unsigned int size = sizeof digest;
                      return X509_digest(c, EVP_sha1(), digest, &size) == 1 && size == 20 &&
                             std::memcmp(digest, bytes, 20) == 0;
                  }),
                  ret);
}

// One method for the process, freed at exit.
struct LookupMethod {
    LookupMethod() : method(X509_LOOKUP_meth_new(kCertificateLookupName)) {
        if (method == nullptr) return;
        X509_LOOKUP_meth_set_get_by_subject(method, &BySubject);
        X509_LOOKUP_meth_set_get_by_issuer_serial(method, &ByIssuerSerial);
        X509_LOOKUP_meth_set_get_by_fingerprint(method, &ByFingerprint);
    }
    ~LookupMethod() {
        if (method != nullptr) X509_LOOKUP_meth_free(method);
    }
    LookupMethod(const LookupMethod&) = delete;
    LookupMethod& operator=(const LookupMethod&) = delete;
    X509_LOOKUP_METHOD* method;
};

}  // namespace

bool AddMachineRootLookup(X509_STORE* store) {
    static const LookupMethod lookup;
    Roots();  // read before any TLS handshake waits on it
    return store != nullptr && lookup.method != nullptr &&
           X509_STORE_add_lookup(store, lookup.method) != nullptr;
}

}  // namespace TesselSoftware
