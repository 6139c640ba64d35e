// The words of the duplicate-removal dialog: captions, labels and the explanation page, the
// same in every window toolkit the dialog is built for. "&" marks a mnemonic.
#pragma once

namespace nubra::ui::texts {

inline constexpr const char* kCaption = "Nubrasweep";
inline constexpr const char* kTabRemove = "&Remove duplicate items";
inline constexpr const char* kTabExplain = "&How Nubra finds duplicates";
inline constexpr const char* kTabAbout = "&About Nubra";

// Below the pages.
inline constexpr const char* kAd =
    "If you run Outlook on mulitple computers then check Quorel's FREE synchronization tool: ";
inline constexpr const char* kAmbrelLite = "Ambrel Lite";
inline constexpr const char* kAmbrelLiteTip = "Click here to go to the Ambrel page on Quorel's website";
// The Close button's caption as built; loading the dialog sets kCloseLoaded.
inline constexpr const char* kClose = "&Close";
inline constexpr const char* kCloseLoaded = "Close";

// The first page.
inline constexpr const char* kExplain = "Remove duplicate items from a selected folder";
inline constexpr const char* kExplain2 =
    "If Nubra finds duplicate items then Nubra will create a subfolder 'Nubra_Duplicate_Items' in the selected "
    "folder and all duplicate items found will be MOVED to this subfolder.";
inline constexpr const char* kSelect =
    "Select a folder and click 'Remove duplicate items' to have Nubra look for duplicates.";
inline constexpr const char* kRemove = "Remove &duplicate items";

// The second page: an introduction, a heading per item kind with its properties, a closing line.
inline constexpr const char* kHowIntro =
    "When Nubra looks to see if an item is already present in a folder it uses the following properties to "
    "determine if an item is a duplicate item:";
struct Heading {
    const char* text;
    const char* lines[3];  // null after the last
};
inline constexpr Heading kHeadings[] = {
    {"Contacts:", {"First name, Last name, Company name and Email address", nullptr, nullptr}},
    {"Appointments:", {"Subject, Location, Start date and End date", nullptr, nullptr}},
    {"Tasks:", {"Subject, Start date, Due date and Status", nullptr, nullptr}},
    {"Notes:", {"Contents of the note and Color", nullptr, nullptr}},
    {"Emails:",
     {"- received emails: the internet message ID (= a unique identifier)",
      "- sent emails: email subject and the time the email is sent", "- unsent emails: email subject only"}},
};
inline constexpr const char* kHowClosing = "If all properties are the same then Nubra assumes it's the same item";

// The third page.
inline constexpr const char* kProduct = "Nubrasweep";
inline constexpr const char* kVersion = "Version:";
inline constexpr const char* kCompany = "Made by";
inline constexpr const char* kHelp = "For help on how to enable / disable and uninstall Nubra";
inline constexpr const char* kShowHelp = "click here";
inline constexpr const char* kAdd2 = "Check out our award winning synchronization tools Ambrel Lite and Ambrel PRO on";

}  // namespace nubra::ui::texts
