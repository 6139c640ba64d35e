// A Maildir tree cleaned in place: its folders and messages are the cache's, duplicates move
// with rename(2) into a Nubra_Duplicate_Items maildir made in the tree's own layout, and
// Deleted Items is the tree's Trash.
//
// Layouts: Maildir++ (".Sub.Folder" directories beside cur/new/tmp, as Dovecot and Courier
// write; the top maildir is the Inbox, ".INBOX.X" a folder under it) and nested maildirs
// ("Work/INBOX/{cur,new,tmp}", as mbsync and offlineimap write).
//
// Cache tables (in the cache file): md_folders(folder_id, dir) maps each cache folder to its
// directory relative to the tree; md_items(item_id, uniq, folder_id, sub, name) maps each item
// to its file (sub "cur" or "new", the file name with its flags) by the unique part of the name
// (before ":2,"); md_intents(item_id, src, dest) holds a rename about to be made.
//
// Synchronisation lists the folders' cur/ and new/ (no stat per file) and compares unique
// parts with the cache: new files are read up to the end of their header, files that another
// client moved to another folder are moved in the cache too (the same item), files gone are
// removed, renamed flags are taken over. It also settles intents: a rename is atomic, so the
// file is where the listing finds it, and the cache follows.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "standin_host/connected/Driver.h"
#include "standin_host/formats/MaildirTree.h"
#include "standin_host/store/Profile.h"
#include "standin_host/store/Upstream.h"

namespace nubra::connected {

using formats::LayoutName;
using formats::MaildirLayoutKind;

// The layout of the tree at `dir`. Raises kMapiNotFound when `dir` does not exist,
// kMapiInvalidParameter when it holds no maildir at all.
MaildirLayoutKind DetectMaildirLayout(const std::filesystem::path& dir);

// The driver of the tree at `root` in layout `layout` (for the synchroniser, and for tests).
std::unique_ptr<Driver> MakeMaildirDriver(const std::filesystem::path& root, MaildirLayoutKind layout);

// The provider for profile entries of kind "maildir" (source: the tree's absolute path,
// option "layout": "maildir++" or "nested").
std::shared_ptr<store::Upstream> MakeMaildirUpstream(const store::ConnectedEntry& entry, store::StoreDb& cache);

}  // namespace nubra::connected
