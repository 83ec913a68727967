// bundle-sign: makes signing keys, signs application bundles and checks their signatures.
// Exit status: 0 done (or "valid"), 1 the work failed (or the bundle is not intact), 2 usage.

#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "code_signature.h"

namespace {

constexpr int exitDone = 0;
constexpr int exitFailed = 1;
constexpr int exitUsage = 2;

constexpr std::string_view usage =
    "Usage:\n"
    "  bundle-sign keygen KEYFILE             write a new Ed25519 private key (mode 0600)\n"
    "  bundle-sign sign --key KEYFILE BUNDLE  sign BUNDLE, replacing an earlier signature\n"
    "  bundle-sign verify BUNDLE              print \"valid\" when BUNDLE is intact\n"
    "  bundle-sign --help                     show this text\n"
    "\n"
    "The signature lives in BUNDLE/Contents/_CodeSignature. Exit status: 0 done or valid,\n"
    "1 failed or not intact (one line on standard error says why), 2 wrong usage.\n";

int usageError(std::string_view what) {
    std::fprintf(stderr, "bundle-sign: %.*s (see bundle-sign --help)\n",
                 static_cast<int>(what.size()), what.data());
    return exitUsage;
}

int failure(std::string_view what) {
    std::fprintf(stderr, "bundle-sign: %.*s\n", static_cast<int>(what.size()), what.data());
    return exitFailed;
}

int keygen(const std::vector<std::string_view>& arguments) {
    if (arguments.size() != 1) {
        return usageError("keygen takes one key file");
    }
    codesign::generateSigningKey(std::filesystem::path(arguments[0]));
    return exitDone;
}

int sign(const std::vector<std::string_view>& arguments) {
    std::optional<std::string_view> key;
    std::optional<std::string_view> bundle;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--key") {
            if (key || i + 1 == arguments.size()) {
                return usageError("sign takes one --key KEYFILE");
            }
            key = arguments[++i];
        } else if (!bundle && !arguments[i].starts_with("-")) {
            bundle = arguments[i];
        } else {
            return usageError("unexpected argument for sign");
        }
    }
    if (!key || !bundle) {
        return usageError("sign needs --key KEYFILE and a bundle");
    }
    codesign::signBundle(std::filesystem::path(*bundle), std::filesystem::path(*key));
    return exitDone;
}

int verify(const std::vector<std::string_view>& arguments) {
    if (arguments.size() != 1) {
        return usageError("verify takes one bundle");
    }
    const auto check = codesign::verifyBundleSignature(std::filesystem::path(arguments[0]));
    if (!check.valid) {
        return failure(check.reason);
    }
    std::puts("valid");
    return exitDone;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> all(argv + 1, argv + argc);
    if (all.empty()) {
        return usageError("no command given");
    }
    const std::string_view command = all[0];
    const std::vector<std::string_view> arguments(all.begin() + 1, all.end());
    try {
        if (command == "--help" || command == "-h" || command == "help") {
            std::fputs(usage.data(), stdout);
            return exitDone;
        }
        if (command == "keygen") {
            return keygen(arguments);
        }
        if (command == "sign") {
            return sign(arguments);
        }
        if (command == "verify") {
            return verify(arguments);
        }
        return usageError("unknown command");
    } catch (const std::exception& error) {
        return failure(error.what());
    }
}
