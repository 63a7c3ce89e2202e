#include "core/interval_list.hpp"

#include <algorithm>
#include <unordered_map>
#include <utility>

using trellan::FilledColumns;
using trellan::IntervalRecord;
using trellan::RunRecord;

// ---- an item: a place in the shown run ------------------------------------

// What the list shows, shared with its items: the run (kept alive while a
// row shows one of its records), and, if the list was made so, the items
// that are out, by number, so that a place asked for again gets the item it
// had.
struct Shown {
  std::shared_ptr<const RunRecord> run;
  bool same_item_for_same_place = false;
  std::unordered_map<std::uint64_t, TrellanIntervalItem*> items;
};

struct _TrellanIntervalItem {
  GObject parent;
  std::shared_ptr<Shown>* shown;
  std::uint64_t number;  // counted from the run's first reading
};

G_DEFINE_FINAL_TYPE(TrellanIntervalItem, trellan_interval_item, G_TYPE_OBJECT)

static void trellan_interval_item_finalize(GObject* object) {
  auto* item = TRELLAN_INTERVAL_ITEM(object);
  if (item->shown) {
    auto& items = (*item->shown)->items;
    if (const auto it = items.find(item->number); it != items.end() && it->second == item) items.erase(it);
    delete item->shown;
  }
  G_OBJECT_CLASS(trellan_interval_item_parent_class)->finalize(object);
}

static void trellan_interval_item_class_init(TrellanIntervalItemClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = trellan_interval_item_finalize;
}

static void trellan_interval_item_init(TrellanIntervalItem* item) {
  item->shown = nullptr;
  item->number = 0;
}

// ---- the list ---------------------------------------------------------------

struct _TrellanIntervalList {
  GObject parent;
  std::shared_ptr<Shown>* shown;
  std::uint64_t first;  // the number of the first record shown
  guint shown_count;    // how many are shown
  std::uint64_t noted;  // the records before this number have been looked at for the columns
  FilledColumns* filled;
};

static void trellan_interval_list_model_init(GListModelInterface* iface);

G_DEFINE_FINAL_TYPE_WITH_CODE(TrellanIntervalList, trellan_interval_list, G_TYPE_OBJECT,
                              G_IMPLEMENT_INTERFACE(G_TYPE_LIST_MODEL, trellan_interval_list_model_init))

static GType list_item_type(GListModel*) { return trellan_interval_item_get_type(); }

static guint list_n_items(GListModel* model) { return TRELLAN_INTERVAL_LIST(model)->shown_count; }

static gpointer list_get_item(GListModel* model, guint position) {
  auto* list = TRELLAN_INTERVAL_LIST(model);
  Shown& shown = **list->shown;
  if (position >= list->shown_count || !shown.run) return nullptr;
  const std::uint64_t number = list->first + position;
  if (const auto it = shown.items.find(number); it != shown.items.end()) return g_object_ref(it->second);
  auto* item = TRELLAN_INTERVAL_ITEM(g_object_new(trellan_interval_item_get_type(), nullptr));
  item->shown = new std::shared_ptr<Shown>(*list->shown);
  item->number = number;
  if (shown.same_item_for_same_place) shown.items.emplace(number, item);
  return item;
}

static void trellan_interval_list_model_init(GListModelInterface* iface) {
  iface->get_item_type = list_item_type;
  iface->get_n_items = list_n_items;
  iface->get_item = list_get_item;
}

static void trellan_interval_list_finalize(GObject* object) {
  auto* list = TRELLAN_INTERVAL_LIST(object);
  delete list->shown;
  delete list->filled;
  G_OBJECT_CLASS(trellan_interval_list_parent_class)->finalize(object);
}

static void trellan_interval_list_class_init(TrellanIntervalListClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = trellan_interval_list_finalize;
}

static void trellan_interval_list_init(TrellanIntervalList* list) {
  list->shown = new std::shared_ptr<Shown>(std::make_shared<Shown>());
  list->first = 0;
  list->shown_count = 0;
  list->noted = 0;
  list->filled = new FilledColumns();
}

namespace trellan {

FilledColumns filled_columns(const RunRecord& run, std::size_t from, FilledColumns filled) {
  for (std::size_t i = from; i < run.intervals.size(); ++i) {
    if (filled.retransmits && filled.jitter && filled.loss) break;
    const IntervalRecord& r = run.intervals[i];
    filled.retransmits = filled.retransmits || r.retransmits.has_value();
    filled.jitter = filled.jitter || r.jitter_ms.has_value();
    filled.loss = filled.loss || r.lost.has_value();
  }
  return filled;
}

namespace {

// The columns' state is learnt from each record once: all the run has when
// it is shown, then each newer record as the list catches up.
void note_new(TrellanIntervalList* list) {
  const RunRecord& run = *(*list->shown)->run;
  const std::uint64_t from = std::max(list->noted, run.dropped_intervals);
  *list->filled = filled_columns(run, static_cast<std::size_t>(from - run.dropped_intervals), *list->filled);
  list->noted = run.dropped_intervals + run.intervals.size();
}

}  // namespace

TrellanIntervalList* interval_list_new(bool same_item_for_same_place) {
  auto* list = TRELLAN_INTERVAL_LIST(g_object_new(trellan_interval_list_get_type(), nullptr));
  (*list->shown)->same_item_for_same_place = same_item_for_same_place;
  return list;
}

void interval_list_show(TrellanIntervalList* list, std::shared_ptr<const RunRecord> run, guint most) {
  const guint before = list->shown_count;
  const RunRecord* r = run.get();
  (*list->shown)->run = std::move(run);
  *list->filled = FilledColumns();
  list->first = r ? r->dropped_intervals : 0;
  list->shown_count = r ? static_cast<guint>(std::min<std::size_t>(r->intervals.size(), most)) : 0;
  list->noted = 0;
  if (r) note_new(list);
  if (before != 0 || list->shown_count != 0)
    g_list_model_items_changed(G_LIST_MODEL(list), 0, before, list->shown_count);
}

void interval_list_catch_up(TrellanIntervalList* list, guint most) {
  if (!(*list->shown)->run) return;
  const RunRecord& run = *(*list->shown)->run;
  const std::uint64_t end = list->first + list->shown_count;
  // The run log drops from the front only, and a record once in stays the same.
  const std::uint64_t first = run.dropped_intervals;
  const guint gone = static_cast<guint>(std::min<std::uint64_t>(first > list->first ? first - list->first : 0,
                                                                 list->shown_count));
  if (gone > 0) {
    list->first += gone;
    list->shown_count -= gone;
    g_list_model_items_changed(G_LIST_MODEL(list), 0, gone, 0);
  }
  if (list->first < first) {  // more went than were shown
    list->first = first;
  }
  const std::uint64_t now_end = run.dropped_intervals + run.intervals.size();
  const std::uint64_t from = std::max(end, list->first);
  if (now_end > from) {
    const guint added = static_cast<guint>(std::min<std::uint64_t>(now_end - from, most));
    const guint at = list->shown_count;
    note_new(list);
    list->shown_count += added;
    g_list_model_items_changed(G_LIST_MODEL(list), at, 0, added);
  }
}

const RunRecord* interval_list_run(TrellanIntervalList* list) { return (*list->shown)->run.get(); }

FilledColumns interval_list_filled(TrellanIntervalList* list) { return *list->filled; }

std::optional<std::size_t> interval_item_index(TrellanIntervalItem* item) {
  if (!item->shown || !(*item->shown)->run) return std::nullopt;
  const RunRecord& run = *(*item->shown)->run;
  if (item->number < run.dropped_intervals) return std::nullopt;
  const std::uint64_t i = item->number - run.dropped_intervals;
  if (i >= run.intervals.size()) return std::nullopt;
  return static_cast<std::size_t>(i);
}

const IntervalRecord* interval_item_record(TrellanIntervalItem* item) {
  const auto i = interval_item_index(item);
  return i ? &(*item->shown)->run->intervals[*i] : nullptr;
}

}  // namespace trellan
