// The MAPI utility library over the store: MAPIUtils, MAPITable with its filter and
// restrictions, and the safe item wrappers, created by ProgID.
//
// Restriction rules of this store (what a contents-table search compares):
// - PT_STRING8, RELOP_EQ / NE: equal ignoring letter case and nothing else (no trimming, no
//   normalisation): both texts are compared after Unicode simple case folding (ICU
//   u_foldCase, default options), which covers ASCII. LT/LE/GE/GT compare the folded texts
//   by code point.
// - PT_LONG / PT_BOOLEAN: integers. A text value compares as the integer it spells
//   (optional sign and decimal digits, surrounding blanks allowed); text that spells no
//   integer matches no row.
// - PT_SYSTIME: a date compares at the precision it is given in, because the engine builds
//   date values from the general date text, which shows whole seconds (rounded). A value v in
//   whole seconds stands for every stored time that rounds to it: EQ matches times from
//   v - 0.5 s (inclusive) to v + 0.5 s (exclusive), LE every time before v + 0.5 s, GE every
//   time from v - 0.5 s on. A value with milliseconds stands for that millisecond likewise.
// - PT_BINARY: byte-wise equality (EQ / NE only).
// - RES_EXIST: the item has a value for the property identifier (any type).
// - An empty RES_AND matches every row. Rows come in folder order.
// Each search is answered through an index on (folder, tag, value): its cost grows with the
// logarithm of the folder's size and the number of rows it returns.
#pragma once

namespace nubra::store {

// Registers the library's classes under their ProgIDs (qoMoreUtils.qoMAPIUtils, qoMAPITable,
// qoSafeMailItem, qoSafePostItem, qoSafeContactItem, qoSafeAppointmentItem, qoSafeTaskItem).
// Calling it again is harmless.
void RegisterMAPILibrary();

}  // namespace nubra::store
