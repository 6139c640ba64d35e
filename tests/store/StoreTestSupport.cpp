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

ItemData Mail(const std::string& subject) {
    ItemData d;
    d.Class = 43;
    d.Subject = subject;
    return d;
}

ItemData Contact(const std::string& first, const std::string& last, const std::string& company,
                 const std::string& email) {
    ItemData d;
    d.Class = 40;
    d.FirstName = first;
    d.LastName = last;
    d.CompanyName = company;
    d.Email1Address = email;
    return d;
}

ItemData Note(const std::string& body, int32_t color) {
    ItemData d;
    d.Class = 44;
    d.Body = body;
    d.Color = color;
    return d;
}

ItemData Task(const std::string& subject, int32_t status) {
    ItemData d;
    d.Class = 48;
    d.Subject = subject;
    d.Status = status;
    return d;
}

ItemData Appointment(const std::string& subject, const std::string& location, Date start, Date end) {
    ItemData d;
    d.Class = 26;
    d.Subject = subject;
    d.Location = location;
    d.Start = start;
    d.End = end;
    return d;
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
