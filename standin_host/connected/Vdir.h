// Address books and calendars where they live: a vdir (as vdirsyncer, khard, khal and todoman
// keep one) cleaned in place. The top folder holds a folder per collection, each holding an
// item per file (.vcf a contact or distribution list, .ics an event or to-do) and optionally
// "displayname" and "color" files. A collection is a folder of the store named by its
// displayname; its kind follows what it holds (vCards: contacts; events, or events and to-dos:
// calendar; to-dos alone: tasks): a collection holding events and to-dos is one calendar
// folder whose to-dos are tasks, as the engine tells each item by its own kind. Duplicates move
// with rename(2) into a "Nubra_Duplicate_Items" folder inside the collection, which clients and
// vdirsyncer do not read. An item is known by its file name; a file changed since it was read
// (modification time, size, inode) is read again, and is never moved on what it held before.
// An item's creation time, which decides the copy kept, is its CREATED (iCalendar), else its
// DTSTAMP (iCalendar) or REV (vCard), else the file's modification time.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "standin_host/connected/Driver.h"
#include "standin_host/store/Profile.h"
#include "standin_host/store/Upstream.h"

namespace nubra::connected {

// Raises kMapiNotFound when `dir` does not exist, kMapiInvalidParameter when it holds no
// collection (no folder with .vcf or .ics files, or a displayname).
void RequireVdir(const std::filesystem::path& dir);

std::unique_ptr<Driver> MakeVdirDriver(const std::filesystem::path& root);

// The provider for profile entries of kind "vdir" (source: the top folder's absolute path).
std::shared_ptr<store::Upstream> MakeVdirUpstream(const store::ConnectedEntry& entry, store::StoreDb& cache);

}  // namespace nubra::connected
