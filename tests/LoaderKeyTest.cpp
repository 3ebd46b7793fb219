#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using ::testing::IsEmpty;

// A piece of the loader's private key as it could sit inside a binary: a base64 line of its PEM
// text, or the big-endian bytes of one of its secret numbers (as DER and most encodings hold
// them).
struct KeyTrace {
    std::string name;
    std::string bytes;
};

using KeyPointer = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// The private key in `pemText`, or null.
KeyPointer privateKey(const std::string& pemText) {
    const std::unique_ptr<BIO, decltype(&BIO_free)> memory(
        BIO_new_mem_buf(pemText.data(), static_cast<int>(pemText.size())), BIO_free);
    return {PEM_read_bio_PrivateKey(memory.get(), nullptr, nullptr, nullptr), EVP_PKEY_free};
}

// The secret number `parameter` of `key`, big-endian; empty when the key has none.
std::string secretNumber(EVP_PKEY* key, const char* parameter) {
    BIGNUM* number = nullptr;
    if (EVP_PKEY_get_bn_param(key, parameter, &number) != 1) {
        ADD_FAILURE() << "the key has no " << parameter;
        return {};
    }
    std::string bytes(static_cast<std::size_t>(BN_num_bytes(number)), '\0');
    BN_bn2bin(number, reinterpret_cast<unsigned char*>(bytes.data()));
    BN_clear_free(number);
    return bytes;
}

// The traces of the loader's private key: the full base64 lines of its PEM text (the short last
// one could match by chance) and its private exponent and primes.
std::vector<KeyTrace> loaderKeyTraces() {
    const std::string pemText = TestSupport::readHostFile(LOADER_KEY_FILE);
    std::vector<KeyTrace> traces;
    std::istringstream lines(pemText);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (line.size() == 64 && !line.starts_with("-----")) {
            traces.push_back({"PEM line " + std::to_string(number), line});
        }
    }
    const KeyPointer key = privateKey(pemText);
    if (key == nullptr) {
        ADD_FAILURE() << "no private key in " << LOADER_KEY_FILE;
        return traces;
    }
    for (const auto& [name, parameter] : {std::pair{"private exponent", OSSL_PKEY_PARAM_RSA_D},
                                          std::pair{"prime 1", OSSL_PKEY_PARAM_RSA_FACTOR1},
                                          std::pair{"prime 2", OSSL_PKEY_PARAM_RSA_FACTOR2}}) {
        if (std::string bytes = secretNumber(key.get(), parameter); !bytes.empty()) {
            traces.push_back({name, std::move(bytes)});
        }
    }
    return traces;
}

// The names of the `traces` found in the file at `path`.
std::vector<std::string> tracesIn(const std::string& path, const std::vector<KeyTrace>& traces) {
    const std::string contents = TestSupport::readHostFile(path);
    EXPECT_FALSE(contents.empty()) << path;
    std::vector<std::string> found;
    for (const KeyTrace& trace : traces) {
        if (contents.find(trace.bytes) != std::string::npos) {
            found.push_back(trace.name);
        }
    }
    return found;
}

// The names of the `traces` that are lines of the PEM text.
std::vector<std::string> pemLineNames(const std::vector<KeyTrace>& traces) {
    std::vector<std::string> names;
    for (const KeyTrace& trace : traces) {
        if (trace.name.starts_with("PEM line")) {
            names.push_back(trace.name);
        }
    }
    return names;
}

TEST(LoaderKeyTest, PackagingToolHoldsNoPartOfTheLoaderPrivateKey) {
    EXPECT_THAT(tracesIn(KX1_PATH, loaderKeyTraces()), IsEmpty());
}

// The search finds the key where it belongs: every line of its PEM text in the loader, every
// secret number in a DER encoding of the key.
TEST(LoaderKeyTest, SearchFindsTheKeyInTheLoaderAndInItsDerEncoding) {
    const std::vector<KeyTrace> traces = loaderKeyTraces();
    const std::vector<std::string> pemLines = pemLineNames(traces);
    ASSERT_GE(pemLines.size(), 10U);
    EXPECT_EQ(tracesIn(BOOTLOADER_PATH, traces), pemLines);

    const KeyPointer key = privateKey(TestSupport::readHostFile(LOADER_KEY_FILE));
    ASSERT_NE(key, nullptr);
    unsigned char* der = nullptr;
    const int derSize = i2d_PrivateKey(key.get(), &der);
    ASSERT_GT(derSize, 0);
    const TestSupport::TemporaryUnitRoot root;
    TestSupport::writeHostFile(
        root.path() + "/key.der",
        std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(derSize)));
    OPENSSL_free(der);
    EXPECT_EQ(tracesIn(root.path() + "/key.der", traces),
              (std::vector<std::string>{"private exponent", "prime 1", "prime 2"}));
}

}  // namespace
