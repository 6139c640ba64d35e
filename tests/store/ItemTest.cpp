// Items through the object model and the MAPI library: members per kind, property reads,
// named properties per store, entry IDs, moves, deletes, order, safe wrappers.
#include <gtest/gtest.h>

#include "StoreTestSupport.h"
#include "host/AutomationDates.h"
#include "host/ClassRegistry.h"

namespace nubra::store::test {
namespace {

using ItemTest = StoreTest;
using mapi::MAPIUtils;

std::shared_ptr<MAPIUtils> Utils() { return CreateObjectAs<MAPIUtils>(mapi::kProgIdMAPIUtils); }

// Which members each kind has; the others raise 438.
TEST_F(ItemTest, MembersAKindLacksRaise438) {
    auto inbox = Folder("Personal Folders\\Inbox");
    struct Case {
        ItemData data;
        int32_t cls;
        bool location, names, status, color;
    };
    const Date t = dates::MakeDate(2020, 5, 1, 10, 0, 0);
    const std::vector<Case> cases = {
        {Mail("m"), 43, false, false, false, false},
        {Contact("A", "B", "C", "a@b"), 40, false, true, false, false},
        {Appointment("s", "Room", t, t + 0.1), 26, true, false, false, false},
        {Task("t", 2), 48, false, false, true, false},
        {Note("n", 4), 44, false, false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cls);
        auto item = profile->AddItem(*inbox, c.data);
        EXPECT_EQ(item->Class(), c.cls);
        EXPECT_NO_THROW(item->Subject());
        EXPECT_NO_THROW(item->CreationTime());
        EXPECT_NO_THROW(item->MAPIOBJECT());
        EXPECT_FALSE(item->EntryID().empty());
        auto probe = [](bool has, const std::function<void()>& f) {
            if (has)
                EXPECT_NO_THROW(f());
            else
                ExpectError(errnum::kMemberNotSupported, f);
        };
        probe(c.location, [&] { item->Location(); });
        probe(c.names, [&] { item->FirstName(); });
        probe(c.names, [&] { item->LastName(); });
        probe(c.names, [&] { item->CompanyName(); });
        probe(c.status, [&] { item->Status(); });
        probe(c.color, [&] { item->Color(); });
    }
}

TEST_F(ItemTest, ObjectModelAndMapiViewReadTheSameProperties) {
    auto utils = Utils();
    const Date created = dates::MakeDate(2019, 7, 14, 8, 30, 15);
    const Date sent = dates::MakeDate(2019, 7, 14, 8, 31, 0);
    ItemData d = Mail("Hello");
    d.CreationTime = created;
    d.SentOn = sent;
    d.InternetMessageID = "<id@example.org>";
    d.Body = "text";
    d.extraTagged[0x10800003] = PropValue{mapi::PT_LONG, 7, {}, {}};
    d.extraTagged[0x300B0102] = PropValue{mapi::PT_BINARY, 0, {}, {1, 2, 0xAB}};
    // Stray bytes beside a text are not the store's marker of a text kept in the message.
    d.extraTagged[0x0E1D001E] = PropValue{mapi::PT_STRING8, 0, "normalised", {1}};
    auto item = profile->AddItem(*Folder("Personal Folders\\Inbox"), d);
    auto mapiObject = item->MAPIOBJECT();
    for (const ObjectRef& target : {mapiObject, std::static_pointer_cast<Object>(item)}) {
        EXPECT_EQ(utils->GetOneProperty(target, mapi::PR_SUBJECT), Variant("Hello"));
        EXPECT_EQ(utils->GetOneProperty(target, mapi::PR_INTERNET_MESSAGE_ID), Variant("<id@example.org>"));
        EXPECT_EQ(utils->GetOneProperty(target, mapi::PR_CLIENT_SUBMIT_TIME), Variant::FromDate(sent));
        EXPECT_EQ(utils->GetOneProperty(target, 0x30070040), Variant::FromDate(created));
        EXPECT_EQ(utils->GetOneProperty(target, 0x1000001E), Variant("text"));
        EXPECT_EQ(utils->GetOneProperty(target, 0x10800003), Variant(int32_t{7}));
        EXPECT_EQ(utils->GetOneProperty(target, 0x0E1D001E), Variant("normalised"));
        EXPECT_EQ(utils->GetOneProperty(target, 0x300B0102), Variant(std::vector<uint8_t>{1, 2, 0xAB}));
        EXPECT_TRUE(utils->GetOneProperty(target, mapi::PR_GIVEN_NAME).IsEmpty());
        EXPECT_EQ(utils->BinaryToHex(utils->GetOneProperty(target, mapi::PR_ENTRYID)), item->EntryID());
    }
    EXPECT_EQ(item->CreationTime(), dates::UtcToLocal(created));
    ExpectError(errnum::kMapiInvalidParameter, [&] { utils->GetOneProperty(Folder("Personal Folders"), 1); });
    ExpectError(errnum::kTypeMismatch, [&] { utils->BinaryToHex(Variant("x")); });
    EXPECT_EQ(utils->BinaryToHex(Variant(std::vector<uint8_t>{0x0a, 0xff})), "0AFF");
}

TEST_F(ItemTest, NoteSubjectIsTheFirstLineOfItsBody) {
    auto note = profile->AddItem(*Folder("Personal Folders\\Notes"), Note("Shopping\r\nmilk\r\neggs", 3));
    EXPECT_EQ(note->Subject(), "Shopping");
    auto utils = Utils();
    EXPECT_EQ(utils->GetOneProperty(note, mapi::PR_CONVERSATION_TOPIC), Variant("Shopping"));
    auto safe = CreateObjectAs<mapi::SafeItem>(mapi::kProgIdSafeMailItem);
    safe->SetItem(note);
    EXPECT_EQ(safe->Body(), "Shopping\r\nmilk\r\neggs");
    ExpectError(errnum::kMemberNotSupported, [&] { safe->Email1Address(); });
}

TEST_F(ItemTest, SafeWrappersReadContactFieldsAndNeedAnItem) {
    auto contact = profile->AddItem(*Folder("Personal Folders\\Contacts"), Contact("Ann", "Lee", "ACME", "ann@x.org"));
    for (const char* progId : {"qoMoreUtils.qoSafeContactItem", "QOMOREUTILS.QOSAFECONTACTITEM"}) {
        auto safe = CreateObjectAs<mapi::SafeItem>(progId);
        ExpectError(errnum::kObjectVariableNotSet, [&] { safe->Body(); });
        safe->SetItem(contact);
        EXPECT_EQ(safe->FirstName(), "Ann");
        EXPECT_EQ(safe->LastName(), "Lee");
        EXPECT_EQ(safe->CompanyName(), "ACME");
        EXPECT_EQ(safe->Email1Address(), "ann@x.org");
    }
    for (const char* progId : {mapi::kProgIdSafeMailItem, mapi::kProgIdSafePostItem, mapi::kProgIdSafeAppointmentItem,
                               "qoMoreUtils.qoSafetaskItem"}) {
        auto safe = CreateObjectAs<mapi::SafeItem>(progId);
        safe->SetItem(contact);
        ExpectError(errnum::kMemberNotSupported, [&] { safe->FirstName(); });
    }
    EXPECT_TRUE(IsClassRegistered(mapi::kProgIdMAPITable));
}

TEST_F(ItemTest, NamedPropertiesAreNumberedPerStoreInOrderOfFirstUse) {
    profile->AddStore("other.nbst", "Other", true);
    auto utils = Utils();
    auto a = Folder("Personal Folders\\Inbox");
    auto b = Folder("Other\\Inbox");
    // Never used: not created by a lookup without create.
    EXPECT_EQ(utils->GetNamedPropertyTag(a, PSETID_Task, static_cast<int16_t>(0x8101), false), 0);
    // First use in store A: a contact, then a task; in store B the other way round.
    profile->AddItem(*a, Contact("x", "y", "z", "e"));
    profile->AddItem(*a, Task("t", 0));
    profile->AddItem(*b, Task("t", 0));
    profile->AddItem(*b, Contact("x", "y", "z", "e"));
    auto tag = [&](const outlook::FolderRef& f, const char* guid, uint16_t id) {
        return static_cast<uint32_t>(utils->GetNamedPropertyTag(f, guid, static_cast<int16_t>(id), false));
    };
    EXPECT_EQ(tag(a, PSETID_Address, kLidEmail1Address), 0x80000000u);
    EXPECT_EQ(tag(a, PSETID_Task, kLidTaskStatus), 0x80010000u);
    EXPECT_EQ(tag(b, PSETID_Task, kLidTaskStatus), 0x80000000u);
    EXPECT_EQ(tag(b, PSETID_Address, kLidEmail1Address), 0x80030000u);
    // The tags read the values through GetOneProperty.
    auto task = b->Items()->Item(1);
    EXPECT_EQ(utils->GetOneProperty(task, static_cast<int32_t>(tag(b, PSETID_Task, kLidTaskStatus) | 3)),
              Variant(int32_t{0}));
    // The safe item creates a name it does not know; GUID text is read in any letter case.
    auto safe = CreateObjectAs<mapi::SafeItem>(mapi::kProgIdSafeTaskItem);
    safe->SetItem(task);
    const auto fresh = static_cast<uint32_t>(safe->GetNamedPropertyTag("{00062008-0000-0000-c000-000000000046}", 0x0001));
    EXPECT_EQ(fresh, 0x80040000u);  // after status, start, due and e-mail
    EXPECT_EQ(tag(b, "{00062008-0000-0000-C000-000000000046}", 1), fresh);
    ExpectError(errnum::kMapiInvalidParameter, [&] { utils->GetNamedPropertyTag(a, "not a guid", 1, true); });
    Reopen();
    EXPECT_EQ(tag(Folder("Other\\Inbox"), PSETID_Address, kLidEmail1Address), 0x80030000u);
}

TEST_F(ItemTest, EntryIdsFindItemsInAnyStoreAndSurviveMoves) {
    profile->AddStore("other.nbst", "Other", true);
    auto ns = profile->NameSpace();
    auto a = Folder("Personal Folders\\Inbox");
    auto b = Folder("Other\\Inbox");
    auto itemA = profile->AddItem(*a, Mail("in A"));
    auto itemB = profile->AddItem(*b, Mail("in B"));
    const std::string idA = itemA->EntryID(), idB = itemB->EntryID();
    EXPECT_NE(idA, idB);
    EXPECT_EQ(ns->GetItemFromID(idA, a->StoreID())->Subject(), "in A");
    EXPECT_EQ(ns->GetItemFromID(idB, "")->Subject(), "in B");
    EXPECT_EQ(ns->GetItemFromID(idB, "")->EntryID(), idB);
    std::string lower = idA;
    for (auto& c : lower) c = static_cast<char>(std::tolower(c));
    EXPECT_EQ(ns->GetItemFromID(lower, "")->Subject(), "in A");
    ExpectError(errnum::kMapiNotFound, [&] { ns->GetItemFromID(idA, b->StoreID()); });
    ExpectError(errnum::kMapiInvalidParameter, [&] { ns->GetItemFromID("XYZ", ""); });
    ExpectError(errnum::kMapiNotFound, [&] { ns->GetItemFromID("00", ""); });
    EXPECT_EQ(ns->GetFolderFromID(b->EntryID(), b->StoreID())->Name(), "Inbox");
    ExpectError(errnum::kMapiNotFound, [&] { ns->GetFolderFromID(idA, ""); });

    // Within a store the entry ID stays; into another store the item gets one of that store.
    auto moved = itemA->Move(*Folder("Personal Folders\\Drafts"));
    EXPECT_EQ(moved->EntryID(), idA);
    EXPECT_EQ(ns->GetItemFromID(idA, "")->Subject(), "in A");
    auto crossed = itemA->Move(*b);
    EXPECT_EQ(crossed->Subject(), "in A");
    EXPECT_NE(crossed->EntryID(), idA);
    ExpectError(errnum::kMapiNotFound, [&] { ns->GetItemFromID(idA, ""); });
    EXPECT_EQ(b->Items()->Count(), 2);
    EXPECT_EQ(Folder("Personal Folders\\Drafts")->Items()->Count(), 0);
    Reopen();
    EXPECT_EQ(profile->NameSpace()->GetItemFromID(idB, "")->Subject(), "in B");
}

TEST_F(ItemTest, FolderOrderIsArrivalOrderAndPositionsFollowMoves) {
    auto inbox = Folder("Personal Folders\\Inbox");
    auto drafts = Folder("Personal Folders\\Drafts");
    std::vector<ItemData> batch;
    for (int i = 1; i <= 5; ++i) batch.push_back(Mail("m" + std::to_string(i)));
    profile->AddItems(*inbox, batch);
    profile->AddItem(*drafts, Mail("d1"));
    auto items = inbox->Items();
    // The scan's pattern: read item i, move it out, read position i again.
    items->Item(2)->Move(*drafts);
    EXPECT_EQ(items->Count(), 4);
    EXPECT_EQ(items->Item(2)->Subject(), "m3");
    auto back = drafts->Items()->Item(1);
    back->Move(*inbox);  // moved-in items go to the end
    std::vector<std::string> order;
    for (int i = 1; i <= items->Count(); ++i) order.push_back(items->Item(i)->Subject());
    EXPECT_EQ(order, (std::vector<std::string>{"m1", "m3", "m4", "m5", "d1"}));
    EXPECT_EQ(drafts->Items()->Item(1)->Subject(), "m2");
    ExpectError(errnum::kSubscriptOutOfRange, [&] { items->Item(0); });
    ExpectError(errnum::kSubscriptOutOfRange, [&] { items->Item(6); });
    EXPECT_EQ(items->Parent()->DefaultValue(), inbox->DefaultValue());
    // A walk reads ahead; items of another folder whose ids lie between are none of its own.
    for (const char* n : {"1", "2", "3", "4", "5", "6"}) {
        profile->AddItem(*inbox, Mail(std::string("i") + n));
        profile->AddItem(*drafts, Mail(std::string("x") + n));
    }
    order.clear();
    for (int i = 1; i <= items->Count(); ++i) order.push_back(items->Item(i)->Subject());
    EXPECT_EQ(order, (std::vector<std::string>{"m1", "m3", "m4", "m5", "d1", "i1", "i2", "i3", "i4", "i5", "i6"}));
}

TEST_F(ItemTest, DeleteMovesToDeletedItemsThenRemovesForGood) {
    auto inbox = Folder("Personal Folders\\Inbox");
    auto item = profile->AddItem(*inbox, Mail("bye"));
    const auto id = item->EntryID();
    item->Delete();
    auto deleted = Folder("Personal Folders\\Deleted Items");
    ASSERT_EQ(deleted->Items()->Count(), 1);
    EXPECT_EQ(item->EntryID(), id);
    item->Delete();
    EXPECT_EQ(deleted->Items()->Count(), 0);
    ExpectError(errnum::kMapiNotFound, [&] { item->Subject(); });
    ExpectError(errnum::kMapiNotFound, [&] { item->Delete(); });
    ExpectError(errnum::kMapiNotFound, [&] { profile->NameSpace()->GetItemFromID(id, ""); });
}

TEST_F(ItemTest, ReadItemGivesBackWhatWasAdded) {
    ItemData d = Appointment("Review", "Room 1", dates::MakeDate(2021, 3, 4, 9), dates::MakeDate(2021, 3, 4, 10));
    d.CreationTime = dates::MakeDate(2021, 1, 1, 12, 0, 0.25);
    d.Body = "agenda";
    d.extraNamed[NamedPropertyKey{"{00062008-0000-0000-C000-000000000046}", 0x8580}] =
        PropValue{mapi::PT_BOOLEAN, 1, {}, {}};
    d.MessageClass = "IPM.Appointment.Custom";
    auto item = profile->AddItem(*Folder("Personal Folders\\Calendar"), d);
    EXPECT_EQ(profile->ReadItem(*item), d);
    std::vector<ItemRecord> seen;
    profile->ForEachItem(*Folder("Personal Folders\\Calendar"), [&](const ItemRecord& r) { seen.push_back(r); });
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].entryIdHex, item->EntryID());
    EXPECT_EQ(seen[0].data, d);
}

TEST_F(ItemTest, AddItemsIsAllOrNothing) {
    auto inbox = Folder("Personal Folders\\Inbox");
    std::vector<ItemData> batch = {Mail("a"), Mail("b"), Mail("c")};
    batch[2].extraTagged[0x0037001E] = PropValue{mapi::PT_LONG, 1, {}, {}};  // type does not fit the tag
    ExpectError(errnum::kMapiInvalidParameter, [&] { profile->AddItems(*inbox, batch); });
    EXPECT_EQ(inbox->Items()->Count(), 0);
    ItemData unknown;
    unknown.Class = 1234;
    ExpectError(errnum::kMapiInvalidParameter, [&] { profile->AddItem(*inbox, unknown); });
    Reopen();
    EXPECT_EQ(Folder("Personal Folders\\Inbox")->Items()->Count(), 0);
    EXPECT_TRUE(profile->CheckIntegrity().ok());
}

TEST(MessageClassTest, ClassesAndMessageClassesCorrespond) {
    const std::vector<std::pair<std::string, int32_t>> cases = {
        {"IPM.Note", 43},         {"IPM.Note.SMIME", 43}, {"ipm.note", 43},     {"IPM.Post", 45},
        {"IPM.Contact", 40},      {"IPM.Appointment", 26}, {"IPM.Task", 48},    {"IPM.StickyNote", 44},
        {"IPM.DistList", 69},     {"IPM.Activity", 42},   {"IPM.Notes", 0},     {"IPM", 0},
        {"IPM.Schedule.Meeting.Request", 0},
    };
    for (const auto& [mc, cls] : cases) EXPECT_EQ(ClassForMessageClass(mc), cls) << mc;
    for (int32_t cls : {43, 45, 40, 26, 48, 44, 69, 42}) EXPECT_EQ(ClassForMessageClass(MessageClassFor(cls)), cls);
    EXPECT_EQ(MessageClassFor(7), "");
}

}  // namespace
}  // namespace nubra::store::test
