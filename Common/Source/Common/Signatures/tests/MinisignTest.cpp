// Minisign signatures: our keys and signatures against Debian's minisign
// tool both ways, and every way a signature can be bad.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Common/Platform/ProcessRunner.h"
#include "Common/Signatures/Minisign.h"
#include "TestSupport.h"

namespace TesselSoftware::Minisign {
namespace {

using Testing::ReadFile;
using Testing::WriteFile;

bool HaveTool() { return ::access(VEXOR_MINISIGN_TOOL, X_OK) == 0; }

// Runs the minisign tool; its exit status.
int Tool(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {VEXOR_MINISIGN_TOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string output;
    const ChildOutcome outcome = RunChildProcess(argv, 60000, &output, 65536);
    return outcome.kind == ChildOutcome::Kind::kExited ? outcome.exit_code : -1;
}

class MinisignTest : public ::testing::Test {
protected:
    MinisignTest() {
        std::string error;
        EXPECT_TRUE(GenerateKeyPair(&public_text_, &secret_text_, &error)) << error;
        EXPECT_TRUE(ParsePublicKey(public_text_, &public_key_, &error)) << error;
        EXPECT_TRUE(ParseSecretKey(secret_text_, &secret_key_, &error)) << error;
        WriteFile(dir_ / "avvdat-402.zip", "the archive's bytes");
        WriteFile(dir_ / "oem.ini", "[AVV-ZIP]\r\nDATVersion=402\r\n");
    }
    std::string Sign(const std::string& name, const SecretKey& key) {
        std::string text, error;
        EXPECT_TRUE(SignFile(dir_ / name, name, key, &text, &error)) << error;
        return text;
    }
    // The verdict's reason for file name checked against signature text,
    // "valid", or "unparsable: <why>".
    std::string Check(const std::string& name, const std::string& signature_text,
                      const std::vector<PublicKey>& keys) {
        Signature signature;
        std::string error;
        if (!ParseSignature(signature_text, &signature, &error)) return "unparsable: " + error;
        std::string reason;
        return VerifyFile(dir_ / name, name, signature, keys, &reason) == Verdict::kValid ? "valid" : reason;
    }

    Testing::ScratchDir dir_;
    std::string public_text_, secret_text_;
    PublicKey public_key_;
    SecretKey secret_key_;
};

TEST_F(MinisignTest, OurSignaturesPassTheToolAndItsPassOurs) {
    if (!HaveTool()) GTEST_SKIP() << "minisign is not installed";
    WriteFile(dir_ / "ours.pub", public_text_);
    WriteFile(dir_ / "ours.key", secret_text_);
    WriteFile(dir_ / "avvdat-402.zip.minisig", Sign("avvdat-402.zip", secret_key_));
    EXPECT_EQ(0, Tool({"-V", "-q", "-p", dir_ / "ours.pub", "-m", dir_ / "avvdat-402.zip"}));

    // The tool's own key, prehashed and legacy signatures, and its use of our secret key.
    ASSERT_EQ(0, Tool({"-G", "-W", "-f", "-p", dir_ / "tool.pub", "-s", dir_ / "tool.key"}));
    PublicKey tool_key;
    std::string error;
    ASSERT_TRUE(ParsePublicKey(ReadFile(dir_ / "tool.pub"), &tool_key, &error)) << error;
    ASSERT_EQ(0, Tool({"-S", "-s", dir_ / "tool.key", "-m", dir_ / "oem.ini", "-t", "file:oem.ini"}));
    EXPECT_EQ("valid", Check("oem.ini", ReadFile(dir_ / "oem.ini.minisig"), {public_key_, tool_key}));
    ASSERT_EQ(0, Tool({"-S", "-l", "-s", dir_ / "tool.key", "-m", dir_ / "oem.ini", "-t", "file:oem.ini"}));
    EXPECT_EQ("valid", Check("oem.ini", ReadFile(dir_ / "oem.ini.minisig"), {tool_key}));
    ASSERT_EQ(0, Tool({"-S", "-s", dir_ / "ours.key", "-m", dir_ / "oem.ini", "-t", "file:oem.ini"}));
    EXPECT_EQ("valid", Check("oem.ini", ReadFile(dir_ / "oem.ini.minisig"), {public_key_}));
}

TEST_F(MinisignTest, EveryWayASignatureCanBeBad) {
    const std::string good = Sign("avvdat-402.zip", secret_key_);
    EXPECT_EQ("valid", Check("avvdat-402.zip", good, {public_key_}));

    std::string other_public, other_secret, error;
    ASSERT_TRUE(GenerateKeyPair(&other_public, &other_secret, &error));
    SecretKey other_key;
    ASSERT_TRUE(ParseSecretKey(other_secret, &other_key, &error));
    // The global signature of another comment, kept under this comment.
    const std::string lines_good = good;
    const std::string other_file = Sign("oem.ini", secret_key_);
    WriteFile(dir_ / "copy.zip", ReadFile(dir_ / "avvdat-402.zip"));
    const std::string same_bytes = Sign("copy.zip", secret_key_);
    std::string changed_comment = other_file;
    changed_comment.replace(changed_comment.find("file:oem.ini"), 12, "file:avvdat-402.zip");
    std::string swapped_sig = good;  // avvdat's comment, oem.ini's file signature
    {
        const size_t a = good.find('\n') + 1, b = other_file.find('\n') + 1;
        swapped_sig.replace(a, good.find('\n', a) - a, other_file.substr(b, other_file.find('\n', b) - b));
    }
    const struct Row {
        const char* what;
        std::string signature;
        std::string expected;
    } rows[] = {
        {"signed by a key nobody trusts", Sign("avvdat-402.zip", other_key),
         "was made by an untrusted key (" + KeyIdText(other_key.key_id) + ")"},
        {"the signature of another file's content", swapped_sig, "does not match"},
        {"another file's content signature", other_file, "does not match"},
        {"the signature of a file with the same bytes and another name", same_bytes, "names another file"},
        {"a trusted comment changed to this file", changed_comment, "does not match"},
        {"truncated", good.substr(0, good.size() / 2), "unparsable: it does not have 4 lines"},
        {"garbage", "untrusted comment: x\nnot base64 at all\ntrusted comment: file:a\nAAAA\n",
         "unparsable: its signature line is malformed"},
        {"one mebibyte", std::string(1 << 20, 'A'), "unparsable: it is larger than 4096 bytes"},
        {"no untrusted comment", "RWQ\nRWQ\nRWQ\nRWQ\n", "unparsable: its first line is not an untrusted comment"},
        {"no trusted comment", good.substr(0, good.find("trusted comment: file")) + "comment: x\n" +
                                   good.substr(good.rfind('\n', good.size() - 2) + 1),
         "unparsable: its third line is not a trusted comment"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.expected, Check("avvdat-402.zip", row.signature, {public_key_})) << row.what;
    }
    // The file changed after it was signed.
    WriteFile(dir_ / "avvdat-402.zip", "tampered bytes of the same archive");
    EXPECT_EQ("does not match", Check("avvdat-402.zip", lines_good, {public_key_}));
}

// A signature whose comment names the file but whose global signature was
// made for another comment: the comment was changed after signing.
TEST_F(MinisignTest, AChangedTrustedCommentFailsTheGlobalSignature) {
    WriteFile(dir_ / "copy.zip", ReadFile(dir_ / "avvdat-402.zip"));
    std::string signature = Sign("copy.zip", secret_key_);
    signature.replace(signature.find("file:copy.zip"), 13, "file:avvdat-402.zip");
    EXPECT_EQ("has a trusted comment that was changed", Check("avvdat-402.zip", signature, {public_key_}));
}

// The times after "file:NAME" are signed with it: they come back from a
// valid signature, cannot be changed without breaking it, and a comment
// with anything but the known fields names no file of ours.
TEST_F(MinisignTest, SignedTimesTravelInTheTrustedComment) {
    std::string text, error;
    ASSERT_TRUE(SignFile(dir_ / "oem.ini", "oem.ini", secret_key_, &text, &error, {1796083200, 1796688000})) << error;
    EXPECT_NE(std::string::npos, text.find("trusted comment: file:oem.ini\ttimestamp:1796083200\texpires:1796688000\n"));
    Signature signature;
    ASSERT_TRUE(ParseSignature(text, &signature, &error)) << error;
    std::string reason;
    SignedTimes times;
    ASSERT_EQ(Verdict::kValid, VerifyFile(dir_ / "oem.ini", "oem.ini", signature, {public_key_}, &reason, &times));
    EXPECT_EQ(1796083200, times.signed_at);
    EXPECT_EQ(1796688000, times.expires_at);
    std::string later = text;
    later.replace(later.find("expires:1796688000"), 18, "expires:1896688000");
    EXPECT_EQ("has a trusted comment that was changed", Check("oem.ini", later, {public_key_}));

    const struct Row {
        const char* comment;
        bool parses;
    } rows[] = {
        {"file:oem.ini", true},
        {"file:oem.ini\texpires:1796688000", true},
        {"timestamp:1796083200\tfile:oem.ini", false},  // minisign's own order: not ours
        {"file:oem.ini\ttimestamp:1\ttimestamp:2", false},
        {"file:oem.ini\thashed", false},
        {"file:oem.ini\texpires:-5", false},
        {"file:oem.ini\texpires:0", false},
        {"file:oem.ini\texpires:1234567890123", false},
        {"file:oem.ini ", true},  // a name with a trailing space, which is another name
    };
    for (const Row& row : rows) {
        std::string name;
        SignedTimes parsed;
        EXPECT_EQ(row.parses, ParseTrustedComment(row.comment, &name, &parsed)) << row.comment;
    }
}

TEST_F(MinisignTest, KeysThatDoNotParseAreRefusedWithTheReason) {
    const struct Row {
        std::string text;
        std::string reason;
    } rows[] = {
        {"", "it does not have 2 lines"},
        {"untrusted comment: k\n", "it does not have 2 lines"},
        {"comment: k\nRWQ=\n", "its first line is not an untrusted comment"},
        {"untrusted comment: k\nRWRLx8EYy3hY9ID\n", "its key line is not a minisign public key"},
        {std::string(8192, 'k'), "it is larger than 4096 bytes"},
    };
    for (const Row& row : rows) {
        PublicKey key;
        std::string error;
        EXPECT_FALSE(ParsePublicKey(row.text, &key, &error));
        EXPECT_EQ(row.reason, error);
    }
    SecretKey secret;
    std::string error;
    EXPECT_FALSE(ParseSecretKey(public_text_, &secret, &error));
}

// A key id is 8 bytes anyone can choose: a second trusted key with the
// same id does not hide the one that made the signature.
TEST_F(MinisignTest, EveryTrustedKeyWithTheSignaturesIdIsTried) {
    std::string other_public, other_secret, error;
    ASSERT_TRUE(GenerateKeyPair(&other_public, &other_secret, &error)) << error;
    PublicKey impostor;
    ASSERT_TRUE(ParsePublicKey(other_public, &impostor, &error)) << error;
    impostor.key_id = public_key_.key_id;
    const std::string signature = Sign("oem.ini", secret_key_);
    EXPECT_EQ("valid", Check("oem.ini", signature, {impostor, public_key_}));
    EXPECT_EQ("valid", Check("oem.ini", signature, {public_key_, impostor}));
    EXPECT_EQ("does not match", Check("oem.ini", signature, {impostor}));
}

// A public key file is read as minisign reads it: its first two lines.
TEST_F(MinisignTest, AKeyFileWithMoreLinesIsItsFirstTwo) {
    for (const std::string& text : {public_text_ + "# rotated in 2027\n", public_text_ + "\n\n"}) {
        PublicKey key;
        std::string error;
        ASSERT_TRUE(ParsePublicKey(text, &key, &error)) << error;
        EXPECT_EQ(public_key_.key, key.key);
    }
}

}  // namespace
}  // namespace TesselSoftware::Minisign
