#include <openssl/evp.h>
#include <openssl/pem.h>

#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CoreSystem/ByteOrder.h"
#include "TestSupport.h"
#include "boot/PackageSeal.h"
#include "tools/PackageReader.h"
#include "tools/PackageWriter.h"

namespace Boot {

// Failures name the status.
void PrintTo(PackageSeal::Status status, std::ostream* out) {
    *out << PackageSeal::describe(status);
}

}  // namespace Boot

namespace {

using Boot::ComponentEntry;
using Boot::PackageSeal;
using Algorithm = PackageSeal::Algorithm;
using Status = PackageSeal::Status;
using Bytes = std::vector<std::uint8_t>;

// Where the first component starts in a package of `count` components.
std::uint64_t dataStart(std::size_t count) {
    return Boot::packageHeaderSize + Boot::componentEntrySize * count + Boot::signatureBlockSize;
}

PackageSeal::Digest hashOf(std::span<const std::uint8_t> bytes) {
    PackageSeal::Hasher hasher;
    hasher.update(bytes);
    const std::optional<PackageSeal::Digest> digest = hasher.finish();
    EXPECT_TRUE(digest.has_value());
    return digest.value_or(PackageSeal::Digest{});
}

Bytes asBytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// The first `size` bytes.
Bytes prefix(const Bytes& bytes, std::size_t size) {
    return {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size)};
}

std::string asText(const Bytes& bytes) {
    return {bytes.begin(), bytes.end()};
}

// A package of three components, made by the release tool, and what the seal steps find in it.
class PackageSealTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ed25519Key =
            std::make_unique<PackageSeal::Key>(PackageSeal::Key::generate(Algorithm::ed25519));
        otherEd25519Key =
            std::make_unique<PackageSeal::Key>(PackageSeal::Key::generate(Algorithm::ed25519));
        rsaKey =
            std::make_unique<PackageSeal::Key>(PackageSeal::Key::generate(Algorithm::rsaPssSha256));
    }
    static void TearDownTestSuite() {
        ed25519Key.reset();
        otherEd25519Key.reset();
        rsaKey.reset();
    }

    void SetUp() override {
        root.writeFile("/work/os.tar.gz", std::string(3000, 'o'));
        root.writeFile("/work/app.tar.gz", "application bytes");
        root.writeFile("/work/end.bin", "");
        path = root.prepare("/work/package.kx1");
        std::string error;
        ASSERT_TRUE(Packaging::PackageWriter::write(
            {.hardwareFamily = 1,
             .components = {{.type = 3, .version = 1, .path = root.path() + "/work/os.tar.gz"},
                            {.type = 4, .version = 2, .path = root.path() + "/work/app.tar.gz"},
                            {.type = 12, .version = 3, .path = root.path() + "/work/end.bin"}}},
            Packaging::RsaPublicKey::fromPemFile(LOADER_PUBLIC_KEY_FILE), path, error))
            << error;
        unsealed = asBytes(TestSupport::readHostFile(path));
    }

    std::vector<ComponentEntry> entriesOf(const Bytes& package) const {
        TestSupport::writeHostFile(path, asText(package));
        Packaging::PackageReader reader;
        std::string error;
        EXPECT_TRUE(reader.open(path, error)) << error;
        return reader.entries();
    }

    // The package with a seal over everything before the seal block's place.
    Bytes sealed(const Bytes& package, const PackageSeal::Key& key) const {
        std::uint64_t blockOffset = 0;
        EXPECT_EQ(PackageSeal::locate(entriesOf(package), package.size(), blockOffset),
                  Status::valid);
        const std::span<const std::uint8_t> covered(package.data(), blockOffset);
        const std::optional<PackageSeal> seal = PackageSeal::make(key, hashOf(covered));
        EXPECT_TRUE(seal.has_value());
        Bytes result(covered.begin(), covered.end());
        const Bytes block = seal ? seal->encode() : Bytes{};
        result.insert(result.end(), block.begin(), block.end());
        return result;
    }

    // What a loader with `key` finds: the seal block read from the file, then checked against
    // the hash of the bytes before it.
    Status check(const Bytes& package, const PackageSeal::Key& key,
                 PackageSeal* found = nullptr) const {
        const std::vector<ComponentEntry> entries = entriesOf(package);
        std::ifstream file(path, std::ios::binary);
        PackageSeal seal;
        std::uint64_t blockOffset = 0;
        const Status status = PackageSeal::read(file, entries, package.size(), seal, blockOffset);
        if (found != nullptr) {
            *found = seal;
        }
        if (status != Status::valid) {
            return status;
        }
        return seal.verify(key, hashOf(std::span<const std::uint8_t>(package.data(), blockOffset)));
    }

    static std::unique_ptr<PackageSeal::Key> ed25519Key;
    static std::unique_ptr<PackageSeal::Key> otherEd25519Key;
    static std::unique_ptr<PackageSeal::Key> rsaKey;

    TestSupport::TemporaryUnitRoot root;
    std::string path;
    Bytes unsealed;
};

std::unique_ptr<PackageSeal::Key> PackageSealTest::ed25519Key;
std::unique_ptr<PackageSeal::Key> PackageSealTest::otherEd25519Key;
std::unique_ptr<PackageSeal::Key> PackageSealTest::rsaKey;

TEST(PackageSealHasherTest, PiecesHashAsTheWholeAndGiveSha256) {
    // The SHA-256 test vector of "abc".
    const std::string expected = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    PackageSeal::Hasher whole;
    whole.update(std::span<const char>("abc", 3));
    PackageSeal::Hasher pieces;
    pieces.update(std::span<const char>("a", 1));
    pieces.update(std::span<const char>());
    pieces.update(std::span<const char>("bc", 2));
    EXPECT_EQ(PackageSeal::hex(whole.finish().value()), expected);
    EXPECT_EQ(PackageSeal::hex(pieces.finish().value()), expected);
    EXPECT_FALSE(pieces.finish().has_value()) << "a finished hasher gives no second hash";
}

TEST_F(PackageSealTest, ASealedPackageVerifiesWithThePublicHalfAndItsBlockRoundTrips) {
    for (const PackageSeal::Key* key : {ed25519Key.get(), rsaKey.get()}) {
        const std::string name(PackageSeal::nameOf(key->algorithm()));
        ASSERT_TRUE(key->canSign()) << name << ": " << key->problem();
        const PackageSeal::Key publicHalf = PackageSeal::Key::fromPemText(key->publicPem());
        ASSERT_TRUE(publicHalf.isValid()) << name << ": " << publicHalf.problem();
        EXPECT_FALSE(publicHalf.canSign()) << name;
        EXPECT_EQ(publicHalf.fingerprint(), key->fingerprint()) << name;
        EXPECT_EQ(publicHalf.algorithm(), key->algorithm()) << name;
        const PackageSeal::Key privateHalf = PackageSeal::Key::fromPemText(key->privatePem());
        EXPECT_TRUE(privateHalf.canSign()) << name;
        EXPECT_EQ(privateHalf.fingerprint(), key->fingerprint()) << name;

        const Bytes package = sealed(unsealed, *key);
        PackageSeal found;
        EXPECT_EQ(check(package, publicHalf, &found), Status::valid) << name;
        EXPECT_EQ(check(package, privateHalf), Status::valid) << name;
        EXPECT_EQ(found.algorithm(), key->algorithm()) << name;
        EXPECT_EQ(found.fingerprint(), key->fingerprint()) << name;

        // The block is appended whole and nothing before it moves.
        const Bytes block = found.encode();
        ASSERT_EQ(package.size(), unsealed.size() + block.size()) << name;
        EXPECT_EQ(prefix(package, unsealed.size()), unsealed) << name;
        EXPECT_EQ(Bytes(package.end() - static_cast<std::ptrdiff_t>(block.size()), package.end()),
                  block)
            << name;
        EXPECT_EQ(CoreSystem::ByteOrder::loadLittleEndian32(block.data()), PackageSeal::magic);
        EXPECT_EQ(block.size(), PackageSeal::headerSize + found.signature().size()) << name;
        EXPECT_EQ(found.signature().size(), key == rsaKey.get() ? 384U : 64U) << name;
    }
}

TEST_F(PackageSealTest, TheFingerprintIsTheSha256OfTheKeysDerSubjectPublicKeyInfo) {
    // The DER is the base64 body of the "PUBLIC KEY" PEM text.
    const std::string pem = ed25519Key->publicPem();
    std::string body;
    std::string::size_type start = pem.find('\n') + 1;
    for (std::string::size_type end = pem.find('\n', start); end != std::string::npos;
         start = end + 1, end = pem.find('\n', start)) {
        const std::string line = pem.substr(start, end - start);
        if (!line.starts_with("-----")) {
            body += line;
        }
    }
    Bytes der(body.size());
    const int length =
        EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(body.data()),
                        static_cast<int>(body.size()));
    ASSERT_GT(length, 0);
    // Base64 pads the last group; the Ed25519 key's 44 bytes end two short of a group of three.
    der.resize(static_cast<std::size_t>(length) - (body.ends_with("==")  ? 2
                                                   : body.ends_with("=") ? 1
                                                                         : 0));
    EXPECT_EQ(der.size(), 44U);
    EXPECT_EQ(ed25519Key->fingerprint(), hashOf(der));
}

TEST_F(PackageSealTest, OneChangedByteAnywhereBeforeTheSealBreaksIt) {
    const Bytes package = sealed(unsealed, *ed25519Key);
    struct Case {
        const char* name;
        std::size_t offset;
    };
    const Case cases[] = {
        {"header flags", 16},
        {"header reserved", 300},
        {"table version", Boot::packageHeaderSize + 4},
        {"RSA signature block", Boot::packageHeaderSize + 3 * Boot::componentEntrySize + 5},
        {"first component's data", dataStart(3)},
        {"last byte before the seal", unsealed.size() - 1},
    };
    for (const Case& entry : cases) {
        Bytes changed = package;
        changed.at(entry.offset) ^= 0x01U;
        EXPECT_EQ(check(changed, *ed25519Key), Status::badSignature) << entry.name;
    }
    Bytes changedSignature = package;
    changedSignature.back() ^= 0x80U;
    EXPECT_EQ(check(changedSignature, *ed25519Key), Status::badSignature);
    EXPECT_EQ(check(package, *ed25519Key), Status::valid);
}

TEST_F(PackageSealTest, ASealByAnotherKeyFailsOnItsFingerprint) {
    EXPECT_EQ(check(sealed(unsealed, *otherEd25519Key), *ed25519Key), Status::keyMismatch);
    // The key is checked on its own before the package is hashed.
    const PackageSeal byOtherKey = PackageSeal::make(*otherEd25519Key, hashOf(unsealed)).value();
    EXPECT_EQ(byOtherKey.checkKey(*ed25519Key), Status::keyMismatch);
    EXPECT_EQ(byOtherKey.checkKey(*otherEd25519Key), Status::valid);
    EXPECT_EQ(check(sealed(unsealed, *rsaKey), *ed25519Key), Status::keyMismatch);
    EXPECT_EQ(check(sealed(unsealed, *ed25519Key), *rsaKey), Status::keyMismatch);

    // A block that names the right key under another algorithm, with a signature of a length
    // that algorithm allows.
    Bytes block = PackageSeal::make(*ed25519Key, hashOf(unsealed))->encode();
    CoreSystem::ByteOrder::storeLittleEndian16(block.data() + 6, 2);
    CoreSystem::ByteOrder::storeLittleEndian32(block.data() + 40, 384);
    block.resize(PackageSeal::headerSize + 384);
    Bytes package = unsealed;
    package.insert(package.end(), block.begin(), block.end());
    EXPECT_EQ(check(package, *ed25519Key), Status::algorithmMismatch);
}

TEST_F(PackageSealTest, KeysThatCannotSealAreRefused) {
    const PackageSeal::Key smallRsa =
        PackageSeal::Key::fromPemText(TestSupport::readHostFile(LOADER_KEY_FILE));
    EXPECT_FALSE(smallRsa.isValid());
    EXPECT_EQ(smallRsa.problem(), "an RSA key of 1024 bits; a seal needs 3072 to 8192 bits");

    const PackageSeal::Key garbage = PackageSeal::Key::fromPemText("not a key");
    EXPECT_FALSE(garbage.isValid());
    EXPECT_EQ(garbage.problem(), "no unencrypted PEM private key and no PEM public key");

    // An encrypted private key is refused at once rather than asking for its pass phrase.
    using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
    const std::string plain = ed25519Key->privatePem();
    const Bio plainText(BIO_new_mem_buf(plain.data(), static_cast<int>(plain.size())), BIO_free);
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> raw(
        PEM_read_bio_PrivateKey(plainText.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    ASSERT_NE(raw, nullptr);
    const Bio encryptedText(BIO_new(BIO_s_mem()), BIO_free);
    std::string passPhrase = "secret";
    ASSERT_EQ(PEM_write_bio_PKCS8PrivateKey(encryptedText.get(), raw.get(), EVP_aes_256_cbc(),
                                            nullptr, 0, nullptr, passPhrase.data()),
              1);
    char* data = nullptr;
    const long length = BIO_get_mem_data(encryptedText.get(), &data);
    const std::string encrypted(data, static_cast<std::size_t>(length));
    ASSERT_NE(encrypted.find("ENCRYPTED PRIVATE KEY"), std::string::npos);
    EXPECT_FALSE(PackageSeal::Key::fromPemText(encrypted).isValid());

    const PackageSeal::Key publicHalf = PackageSeal::Key::fromPemText(ed25519Key->publicPem());
    EXPECT_FALSE(PackageSeal::make(publicHalf, hashOf(unsealed)).has_value());
    EXPECT_FALSE(PackageSeal::make(smallRsa, hashOf(unsealed)).has_value());
    EXPECT_EQ(check(sealed(unsealed, *ed25519Key), smallRsa), Status::unusableKey);
}

TEST_F(PackageSealTest, TheBlockIsFoundAfterTheLastComponentOfABackToBackTable) {
    const std::uint64_t first = dataStart(2);
    struct Case {
        const char* name;
        std::vector<ComponentEntry> entries;
        std::uint64_t fileSize;
        Status expected;
        std::uint64_t blockOffset;
    };
    const Case cases[] = {
        {"no components", {}, 900, Status::valid, dataStart(0)},
        {"back to back",
         {{.size = 10, .offset = first}, {.size = 5, .offset = first + 10}},
         first + 15,
         Status::valid,
         first + 15},
        {"empty component last",
         {{.size = 10, .offset = first}, {.size = 0, .offset = first + 10}},
         first + 100,
         Status::valid,
         first + 10},
        {"first one late",
         {{.size = 10, .offset = first + 1}, {.size = 5, .offset = first + 11}},
         first + 100,
         Status::scatteredLayout,
         0},
        {"gap",
         {{.size = 10, .offset = first}, {.size = 5, .offset = first + 11}},
         first + 100,
         Status::scatteredLayout,
         0},
        {"overlap",
         {{.size = 10, .offset = first}, {.size = 5, .offset = first + 9}},
         first + 100,
         Status::scatteredLayout,
         0},
        {"out of table order",
         {{.size = 10, .offset = first + 5}, {.size = 5, .offset = first}},
         first + 100,
         Status::scatteredLayout,
         0},
        {"size wraps",
         {{.size = ~std::uint64_t{0}, .offset = first}, {.size = 1, .offset = 0}},
         first + 100,
         Status::scatteredLayout,
         0},
        {"data past the end",
         {{.size = 10, .offset = first}, {.size = 5, .offset = first + 10}},
         first + 14,
         Status::truncated,
         0},
    };
    for (const Case& entry : cases) {
        std::uint64_t blockOffset = 0;
        EXPECT_EQ(PackageSeal::locate(entry.entries, entry.fileSize, blockOffset), entry.expected)
            << entry.name;
        EXPECT_EQ(blockOffset, entry.blockOffset) << entry.name;
    }
}

TEST_F(PackageSealTest, DamagedSealBlocksAreRefusedWithTheirOwnStatus) {
    const Bytes block = PackageSeal::make(*ed25519Key, hashOf(unsealed))->encode();
    const auto withWord16 = [&](std::size_t offset, std::uint16_t value) {
        Bytes changed = block;
        CoreSystem::ByteOrder::storeLittleEndian16(changed.data() + offset, value);
        return changed;
    };
    const auto withLength = [&](std::uint32_t value) {
        Bytes changed = block;
        CoreSystem::ByteOrder::storeLittleEndian32(changed.data() + 40, value);
        return changed;
    };
    const auto cut = [&](std::size_t size) { return prefix(block, size); };
    Bytes longer = block;
    longer.push_back(0);
    Bytes rsaShort = withWord16(6, 2);
    CoreSystem::ByteOrder::storeLittleEndian32(rsaShort.data() + 40, 383);
    Bytes rsaLong = withWord16(6, 2);
    CoreSystem::ByteOrder::storeLittleEndian32(rsaLong.data() + 40, 1025);
    struct Case {
        const char* name;
        Bytes bytes;
        Status expected;
    };
    const Case cases[] = {
        {"nothing", {}, Status::missing},
        {"the magic's first three bytes", cut(3), Status::truncated},
        {"the header cut short", cut(PackageSeal::headerSize - 1), Status::truncated},
        {"the header alone", cut(PackageSeal::headerSize), Status::truncated},
        {"the signature cut short", cut(block.size() - 1), Status::truncated},
        {"garbage", Bytes(200, 0xA5), Status::badMagic},
        {"another first byte", Bytes{'X', 'E', 'A', 'L'}, Status::badMagic},
        {"one wrong byte of three", Bytes{'S', 'E', 'X'}, Status::badMagic},
        {"version 2", withWord16(4, 2), Status::unsupportedVersion},
        {"version 0", withWord16(4, 0), Status::unsupportedVersion},
        {"algorithm 0", withWord16(6, 0), Status::unknownAlgorithm},
        {"algorithm 3", withWord16(6, 3), Status::unknownAlgorithm},
        {"Ed25519 signature of 63 bytes", withLength(63), Status::badLength},
        {"Ed25519 signature of 4 GiB", withLength(0xFFFFFFFF), Status::badLength},
        {"RSA signature of 383 bytes", rsaShort, Status::badLength},
        {"RSA signature of 1025 bytes", rsaLong, Status::badLength},
        {"a byte after the block", longer, Status::trailingBytes},
        {"whole", block, Status::valid},
    };
    for (const Case& entry : cases) {
        PackageSeal seal;
        EXPECT_EQ(PackageSeal::parse(entry.bytes, seal), entry.expected) << entry.name;
        // The same bytes found after a package's data.
        Bytes package = unsealed;
        package.insert(package.end(), entry.bytes.begin(), entry.bytes.end());
        EXPECT_EQ(check(package, *ed25519Key), entry.expected) << entry.name << " in a package";
    }
}

TEST_F(PackageSealTest, AFileCutShortOrGrownAroundTheSealIsRefused) {
    const Bytes package = sealed(unsealed, *ed25519Key);
    Bytes grown = package;
    grown.insert(grown.end(), PackageSeal::maximumBlockSize * 3, 0);
    struct Case {
        const char* name;
        Bytes bytes;
        Status expected;
    };
    const Case cases[] = {
        {"cut at the seal block", prefix(package, unsealed.size()), Status::missing},
        {"cut inside the seal block", prefix(package, package.size() - 10), Status::truncated},
        {"cut inside the last component", prefix(package, unsealed.size() - 1), Status::truncated},
        {"grown by more than a block", grown, Status::trailingBytes},
        {"as sealed", package, Status::valid},
    };
    for (const Case& entry : cases) {
        EXPECT_EQ(check(entry.bytes, *ed25519Key), entry.expected) << entry.name;
    }
}

}  // namespace
