// Saves numbered values into one file-store item, one after another, until it is killed.
// Prints "saved" once the first save is complete. Usage: keychain_writer ROOT SERVICE ACCOUNT FIRST
#include "NumberedItem.h"
#include "identity/FileKeychain.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: keychain_writer ROOT SERVICE ACCOUNT FIRST\n");
        return 2;
    }
    tarnwick::FileKeychain keychain(argv[2], argv[1]);
    std::uint64_t number = std::strtoull(argv[4], nullptr, 10);
    for (bool first = true;; first = false) {
        if (auto saved = keychain.save(tarnwick::testing::numberedItem(number++), argv[3]);
            !saved) {
            std::fprintf(stderr, "keychain_writer: %s\n", saved.error().description.c_str());
            return 1;
        }
        if (first) {
            std::fputs("saved\n", stdout);
            std::fflush(stdout);
        }
    }
}
