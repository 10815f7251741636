// The update publisher's trusted keys, and the signature check every
// download of a pass goes through while keys are trusted.
//
// Keys are minisign public keys ("*.pub") in the machine's trusted-keys
// folder. No key file there: downloads are not signature-checked (each
// file's MD5 from the same source is all). One key or more: every file a
// pass downloads must come with "NAME.minisig" made by one of them. Several
// keys may be trusted at once (rotation); removing a key file revokes it
// from the next pass on.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Common/Errors/ExceptionBase.h"
#include "Common/Signatures/Minisign.h"

namespace TesselSoftware {

using TrustedKeyList = std::vector<Minisign::PublicKey>;

struct TrustedKeys {
    TrustedKeyList keys;
    size_t key_files = 0;               // "*.pub" entries found, usable or not
    std::vector<std::string> problems;  // "<file>: <why>" for each one that is not a key
    // Why the folder itself cannot be used ("" when it can, or is missing):
    // something that is not a folder (a file, a dangling link) or a folder
    // that cannot be read. Checking never falls back to "no key" then.
    std::string folder_problem;
};

// Reads the trusted-keys folder (a missing folder holds no key). Only
// regular files "*.pub" (or links to them) are read, opened without
// blocking and at most Minisign::kMaxKeyTextBytes of them; a FIFO, a device
// or a folder of that name is reported and skipped. Never throws.
TrustedKeys LoadTrustedKeys();

// The keys downloads must be signed by from now on, process-wide; nullptr:
// no signature checks. Safe from any thread.
void SetRequiredSigners(std::shared_ptr<const TrustedKeyList> keys);
std::shared_ptr<const TrustedKeyList> RequiredSigners();

// A download whose signature is missing or bad. Never caught on the way to
// the pass's end: nothing from such a file is used, and no fallback (an
// incremental update's full archive, a listing) stands in for it.
class SignatureException : public CTLVexorNetException {
public:
    using CTLVexorNetException::CTLVexorNetException;
};

}  // namespace TesselSoftware
