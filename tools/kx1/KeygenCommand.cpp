#include <string>

#include "CoreSystem/Console.h"
#include "tools/KeyGenerator.h"
#include "tools/kx1/Command.h"

namespace Kx1 {
namespace {

int keygen(const CommandLine& line) {
    const std::string& privatePath = line.positionals().front();
    const std::string publicPath =
        line.value("--public").value_or(Packaging::KeyGenerator::publicPathFor(privatePath));
    std::string error;
    if (!Packaging::KeyGenerator::generate(privatePath, publicPath, error)) {
        return line.fail(error);
    }
    CoreSystem::Console::print("private key: " + privatePath +
                               " (mode 0600)\npublic key:  " + publicPath + "\n");
    return exitSuccess;
}

}  // namespace

Command keygenCommand() {
    return {
        .name = "keygen",
        .summary = "make a new 1024-bit RSA key pair for sealing packages",
        .usage = "OUT.pem [--public OUT.public.pem]",
        .help =
            "Makes a new 1024-bit RSA key pair. OUT.pem gets the private key in the\n"
            "traditional \"RSA PRIVATE KEY\" PEM form, the form the loader embeds (build\n"
            "option LOADER_KEY_FILE); it is created with mode 0600. The public half\n"
            "(\"PUBLIC KEY\") goes to OUT.public.pem, or to the file named with --public;\n"
            "pack seals packages with it. Existing files are never replaced.\n"
            "\n"
            "options:\n"
            "  --public PATH   where to write the public key\n",
        .options = {{"--public", OptionKind::value}},
        .minimumArguments = 1,
        .maximumArguments = 1,
        .run = keygen,
    };
}

}  // namespace Kx1
