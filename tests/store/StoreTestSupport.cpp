#include "StoreTestSupport.h"

#include <random>

#include "standin_host/store/MAPILibrary.h"

namespace nubra::store::test {

TempDir::TempDir() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() / ("nubra-store-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void StoreTest::SetUp() {
    RegisterMAPILibrary();
    profile = Profile::Open(dir.path() / "profile");
}

void StoreTest::Reopen() {
    profile.reset();
    profile = Profile::Open(dir.path() / "profile");
}

std::string ExpectError(int32_t number, const std::function<void()>& f) {
    try {
        f();
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), number) << e.Description();
        return e.Description();
    }
    ADD_FAILURE() << "no error raised, expected " << number;
    return {};
}

}  // namespace nubra::store::test
