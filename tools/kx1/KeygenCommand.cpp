#include <string>

#include "CoreSystem/Console.h"
#include "boot/PackageSeal.h"
#include "tools/KeyGenerator.h"
#include "tools/kx1/Command.h"

namespace Kx1 {
namespace {

using Boot::PackageSeal;

PackageSeal::Algorithm sealAlgorithm(const CommandLine& line) {
    const auto name = line.value("--algorithm");
    if (name && !line.has("--seal")) {
        throw UsageError("--algorithm goes with --seal");
    }
    for (const PackageSeal::Algorithm algorithm :
         {PackageSeal::Algorithm::ed25519, PackageSeal::Algorithm::rsaPssSha256}) {
        if (name.value_or("ed25519") == PackageSeal::nameOf(algorithm)) {
            return algorithm;
        }
    }
    throw UsageError("--algorithm takes ed25519 or rsa-pss-sha256");
}

int keygen(const CommandLine& line) {
    const std::string& privatePath = line.positionals().front();
    const std::string publicPath =
        line.value("--public").value_or(Packaging::KeyGenerator::publicPathFor(privatePath));
    const PackageSeal::Algorithm algorithm = sealAlgorithm(line);
    std::string error;
    PackageSeal::Key sealKey;
    const bool made = line.has("--seal")
                          ? Packaging::KeyGenerator::generateSeal(privatePath, publicPath,
                                                                  algorithm, sealKey, error)
                          : Packaging::KeyGenerator::generate(privatePath, publicPath, error);
    if (!made) {
        return line.fail(error);
    }
    std::string report =
        "private key: " + privatePath + " (mode 0600)\npublic key:  " + publicPath + "\n";
    if (line.has("--seal")) {
        report += "fingerprint: " + PackageSeal::hex(sealKey.fingerprint()) + " (" +
                  std::string(PackageSeal::nameOf(sealKey.algorithm())) + ")\n";
    }
    CoreSystem::Console::print(report);
    return exitSuccess;
}

}  // namespace

Command keygenCommand() {
    return {
        .name = "keygen",
        .summary = "make a new loader key pair, or a seal key pair with --seal",
        .usage = "OUT.pem [--public OUT.public.pem] [--seal [--algorithm NAME]]",
        .help =
            "Makes a new 1024-bit RSA key pair. OUT.pem gets the private key in the\n"
            "traditional \"RSA PRIVATE KEY\" PEM form, the form the loader embeds (build\n"
            "option LOADER_KEY_FILE); it is created with mode 0600. The public half\n"
            "(\"PUBLIC KEY\") goes to OUT.public.pem, or to the file named with --public;\n"
            "pack seals packages with it. Existing files are never replaced.\n"
            "\n"
            "With --seal it makes a seal key pair instead: OUT.pem gets the private half\n"
            "(\"PRIVATE KEY\", mode 0600), which seals packages (pack --seal-key, seal) and\n"
            "should stay on the release engineers' signing machine; the public half is what\n"
            "a sealing loader is built with and what verify --seal-key checks against. The\n"
            "key's fingerprint, the SHA-256 of its public half, is printed; seals name their\n"
            "key by it.\n"
            "\n"
            "options:\n"
            "  --public PATH      where to write the public key\n"
            "  --seal             make a seal key pair\n"
            "  --algorithm NAME   the seal key's kind: ed25519 (the default) or\n"
            "                     rsa-pss-sha256 (3072-bit RSA, PSS padding over SHA-256)\n",
        .options = {{"--public", OptionKind::value},
                    {"--seal"},
                    {"--algorithm", OptionKind::value}},
        .minimumArguments = 1,
        .maximumArguments = 1,
        .run = keygen,
    };
}

}  // namespace Kx1
