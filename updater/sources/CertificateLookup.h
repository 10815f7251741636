// The machine's trusted roots as an OpenSSL certificate lookup, attached to
// every TLS context the transfer client makes: a server certificate is
// trusted when it chains to a root of the machine's CA bundle
// (MachineLayout::CaBundlePath(), so VEXOR_SYSTEM_ROOT gives tests their own).
#pragma once

typedef struct x509_store_st X509_STORE;

namespace TesselSoftware {

// The lookup's name, as OpenSSL reports it.
inline constexpr char kCertificateLookupName[] = "Load certs from the Windows Certificate Store";

// Adds the lookup to store. It answers queries for certificates by subject
// name, by issuer name and serial number, and by SHA-1 fingerprint; a hit is
// also added to the store. The bundle is read once per process, on first
// use. False when the lookup cannot be added. Safe from any thread.
bool AddMachineRootLookup(X509_STORE* store);

}  // namespace TesselSoftware
