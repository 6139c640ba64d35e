// nubra_proof_fill PROFILE_DIR FOLDER ITEMS [SEED]
// Creates "Personal Folders\FOLDER" in the profile (made when missing) holding a mixed folder
// of ITEMS items and prints how many of them a clean run removes.
#include <cstdlib>
#include <iostream>
#include <string>

#include "host/Automation.h"
#include "tests/proof/MixedFolder.h"

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        std::cerr << "usage: nubra_proof_fill PROFILE_DIR FOLDER ITEMS [SEED]\n";
        return 2;
    }
    try {
        const long long n = std::stoll(argv[3]);
        const auto seed = static_cast<uint32_t>(argc == 5 ? std::stoul(argv[4]) : 1);
        std::cout << nubra::proof::FillMixedProfile(argv[1], argv[2], n, seed) << "\n";
        return 0;
    } catch (const nubra::AutomationError& e) {
        std::cerr << "nubra_proof_fill: error: " << e.Description() << "\n";
    } catch (const std::exception& e) {
        std::cerr << "nubra_proof_fill: error: " << e.what() << "\n";
    }
    return 1;
}
