// A run's interval records as a GListModel, for a table that realises only
// the rows around the view: the records stay where the run log keeps them, and the
// model's items are made when a row asks for one. Showing another run and
// catching up with a run's new readings cost the same whatever the run's
// length. GIO only, no GTK.
#pragma once

#include <gio/gio.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "core/run_record.hpp"

// The list, and the items it makes.
G_DECLARE_FINAL_TYPE(TrellanIntervalList, trellan_interval_list, TRELLAN, INTERVAL_LIST, GObject)
G_DECLARE_FINAL_TYPE(TrellanIntervalItem, trellan_interval_item, TRELLAN, INTERVAL_ITEM, GObject)

namespace trellan {

// Which optional columns of a run's table have anything in them.
struct FilledColumns {
  bool retransmits = false;
  bool jitter = false;
  bool loss = false;
  bool operator==(const FilledColumns&) const = default;
};

// The optional columns that `run`'s records from `from` on fill, added to
// `known`.
FilledColumns filled_columns(const RunRecord& run, std::size_t from = 0, FilledColumns known = {});

// An empty list (a full reference). With `same_item_for_same_place`, a
// place asked for again, while its item is held, gets that item, whichever
// run the list shows: a table keeps its rows' widgets from one run to the
// next (GTK before 4.12 binds such a row again; later versions keep it as
// it is, and the table fills it anew). Otherwise each ask gets a new item.
TrellanIntervalList* interval_list_new(bool same_item_for_same_place = false);

// Shows `run`'s records as they are now (nullptr: none), in one change; at
// most the first `most` of them, the rest joining at the next catch-up.
void interval_list_show(TrellanIntervalList* list, std::shared_ptr<const RunRecord> run,
                        guint most = G_MAXUINT);

// Brings the list up to date with its run: the records the run log let go
// of leave the front, the new ones join the end (at most `most` of them),
// each as one change. Until this is called, the list keeps the records it
// last showed.
void interval_list_catch_up(TrellanIntervalList* list, guint most = G_MAXUINT);

const RunRecord* interval_list_run(TrellanIntervalList* list);
FilledColumns interval_list_filled(TrellanIntervalList* list);

// The record an item stands for, in the run the list shows now, or nullptr
// once the run log has let go of it (or of its run).
const IntervalRecord* interval_item_record(TrellanIntervalItem* item);
// Where that record stands in its run's kept records.
std::optional<std::size_t> interval_item_index(TrellanIntervalItem* item);

}  // namespace trellan
