// Long names in a real window: a host or far end of any length, from an
// iperf3 file, a run file or the Client page's form, leaves the window as
// wide as it was, keeps it answering, and is kept whole in the run's record.
// Runs with GTK's test accessibility backend.
#include <gtest/gtest.h>

#include <glib/gstdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_tool.hpp"
#include "runs_page_fixture.hpp"
#include "core/text.hpp"
#include "ui/runs_page.hpp"

using namespace trellan;
using namespace trellan::testing;

namespace {

// A name of `n` characters that DNS would take: labels of up to 63 letters
// and digits joined by dots, ending in ".example".
std::string dns_name(std::size_t n) {
  std::string name;
  const std::string end = ".example";
  while (name.size() + end.size() < n) {
    if (!name.empty() && (name.size() + 1) % 64 == 0) name += '.';
    else name += static_cast<char>('a' + name.size() % 26);
  }
  return name + end;
}

struct TempDir {
  std::string path;
  std::vector<std::string> files;
  TempDir() {
    char tmpl[] = "/tmp/trellan-names-XXXXXX";
    path = g_mkdtemp(tmpl);
  }
  ~TempDir() {
    for (const auto& f : files) g_remove(f.c_str());
    g_rmdir(path.c_str());
  }
  std::string write(const std::string& name, const std::string& contents) {
    const std::string file = path + "/" + name;
    EXPECT_TRUE(g_file_set_contents(file.c_str(), contents.data(), static_cast<gssize>(contents.size()), nullptr));
    files.push_back(file);
    return file;
  }
};

std::string read_file(const std::string& path) {
  char* contents = nullptr;
  gsize size = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &size, nullptr)) return {};
  std::string out(contents, size);
  g_free(contents);
  return out;
}

// The test's iperf3 -J capture with another host to connect to.
std::string iperf_json_to(const std::string& host) {
  const char* dir = g_getenv("TRELLAN_RUN_FILES");
  std::string json = read_file(std::string(dir ? dir : ".") + "/tcp-client-3.12.json");
  const std::string was = "\"host\":\t\"127.0.0.1\"";
  const auto at = json.find(was);
  EXPECT_NE(at, std::string::npos) << "the capture no longer names its host so";
  if (at != std::string::npos) json.replace(at, was.size(), "\"host\":\t\"" + host + "\"");
  return json;
}

// A run file holding one client run that went to `far_end`.
std::string run_file_to(const std::string& far_end) {
  return "{\"format\":\"trellan-runs\",\"version\":1,\n\"runs\":[\n{\"page\":\"client\",\n"
         "\"started\":\"2026-12-08T05:45:37.000000Z\",\n\"far_end\":\"" +
         far_end +
         "\",\n\"options_summary\":\"TCP · 2 s\",\n\"command\":[\"iperf3\",\"-c\",\"127.0.0.1\",\"-t\",\"2\"],\n"
         "\"iperf_version\":\"iperf 3.12\",\n\"end\":\"result\",\n"
         "\"result_text\":\"Result — send: 12.19 Gbit/s · receive: 12.15 Gbit/s\",\n"
         "\"details_text\":\"Retransmits: 0\",\n\"error_text\":\"\",\n\"latency_text\":\"\",\n"
         "\"dropped_intervals\":0,\n\"intervals\":[\n"
         "[0,1.001611,\"0.00\",\"1.00\",\"send\",13578.15638692675,\"1.58 GBytes\",\"13.6 Gbits/sec\",0,null,null,"
         "null,false],\n"
         "[1.001611,2.000088,\"1.00\",\"2.00\",\"send\",10795.803481767332,\"1.25 GBytes\",\"10.8 Gbits/sec\",0,"
         "null,null,null,false]],\n\"latency\":null}\n]}\n";
}

struct LongNamesTest : RunsPageTest {
  TempDir dir;

  // The window's width as laid out and as its surface has it.
  int width() const {
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
    return std::max(gtk_widget_get_width(win()), surface ? gdk_surface_get_width(surface) : 0);
  }
  // Waits for `n` frames of the window: it has laid out what changed, and
  // it answers.
  bool frames(int n) {
    int seen = 0;
    const guint tick = gtk_widget_add_tick_callback(
        win(), [](GtkWidget*, GdkFrameClock*, gpointer count) noexcept -> gboolean {
          ++*static_cast<int*>(count);
          return G_SOURCE_CONTINUE;
        },
        &seen, nullptr);
    gtk_widget_queue_resize(win());
    const bool drawn = pump_until([&] { return seen >= n; }, 2);
    gtk_widget_remove_tick_callback(win(), tick);
    return drawn;
  }
  // Opens `file` and waits for its run to be the chosen one.
  bool open(const std::string& file) {
    const std::size_t before = log->runs().size();
    std::vector<Ref<GFile>> files;
    files.push_back(Ref<GFile>::take(g_file_new_for_path(file.c_str())));
    open_files_in_window(window, std::move(files));
    return pump_until([&] { return log->runs().size() == before + 1; }, 10) && frames(3);
  }
  std::string heading() const {
    const std::string title = row_title(chosen_row());
    GtkWidget* label = find_widget(page, [&](GtkWidget* w) {
      return GTK_IS_LABEL(w) && gtk_widget_get_mapped(w) && gtk_widget_has_css_class(w, "heading") &&
             g_str_has_prefix(gtk_label_get_text(GTK_LABEL(w)), "Client");
    });
    return label ? gtk_label_get_text(GTK_LABEL(label)) : "(no heading)";
  }
  // The first compare box of the list not yet ticked.
  void mark_for_comparison(int row) {
    GtkWidget* r = GTK_WIDGET(gtk_list_box_get_row_at_index(run_list(), row));
    ASSERT_NE(r, nullptr);
    GtkWidget* box = find_widget(r, [](GtkWidget* w) { return GTK_IS_CHECK_BUTTON(w); });
    ASSERT_NE(box, nullptr);
    gtk_check_button_set_active(GTK_CHECK_BUTTON(box), TRUE);
  }
};

}  // namespace

// A valid DNS name of 253 characters is shown whole, wrapped, in the run's
// heading and its row, and neither they nor the comparison of that run
// with another widen the window beyond what a run with a short name needs.
TEST_F(LongNamesTest, AValidDnsNameOfAnyLengthIsShownWholeAndTheWindowKeepsItsWidth) {
  open_runs();
  ASSERT_TRUE(open(dir.write("short.json", iperf_json_to("127.0.0.1"))));
  const int usual = width();
  ASSERT_GT(usual, 0);

  const std::string name = dns_name(253);
  ASSERT_EQ(name.size(), 253u);
  ASSERT_TRUE(open(dir.write("long.json", iperf_json_to(name))));
  EXPECT_EQ(heading(), "Client — " + name + ", port 5290");
  EXPECT_EQ(row_title(chosen_row()), "Client — " + name + ", port 5290");
  EXPECT_EQ(width(), usual);
  // The page switcher in the header bar stays in sight.
  GtkWidget* switcher = find_widget(win(), [](GtkWidget* w) { return ADW_IS_VIEW_SWITCHER(w); });
  ASSERT_NE(switcher, nullptr);
  EXPECT_TRUE(in_sight(switcher, win()));

  mark_for_comparison(0);
  mark_for_comparison(1);
  ASSERT_TRUE(frames(3));
  EXPECT_EQ(width(), usual);
}

// Names far beyond any valid one, a 5,000-character host in an iperf3
// file and far ends of 100 KB and 1 MB in run files, open without
// widening or freezing the window; what the page shows of them keeps
// their start and their end, and their records keep them whole.
TEST_F(LongNamesTest, HugeNamesInFilesOpenWithoutWideningOrFreezingTheWindow) {
  open_runs();
  ASSERT_TRUE(open(dir.write("short.json", iperf_json_to("127.0.0.1"))));
  const int usual = width();

  struct Case {
    std::string file, far_end;
  };
  const std::string host(5000, 'h');
  std::string far_100k(100'000, 'f'), far_1m(1'000'000, 'm');
  far_100k.replace(0, 5, "start");
  far_1m.replace(0, 5, "start");
  far_100k += ", port 5201";
  far_1m += "-the-end";
  const std::vector<Case> cases = {
      {dir.write("host.json", iperf_json_to(host)), host + ", port 5290"},
      {dir.write("100k.trellan", run_file_to(far_100k)), far_100k},
      {dir.write("1m.trellan", run_file_to(far_1m)), far_1m},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    ASSERT_TRUE(open(c.file));
    EXPECT_EQ(log->runs().back()->far_end, c.far_end);
    EXPECT_EQ(width(), usual);
    const std::string shown = heading();
    const std::string tail = c.far_end.substr(c.far_end.size() - 12);
    EXPECT_TRUE(g_str_has_prefix(shown.c_str(), ("Client — " + c.far_end.substr(0, 12)).c_str())) << shown;
    EXPECT_TRUE(g_str_has_suffix(shown.c_str(), tail.c_str())) << shown;
    EXPECT_LT(shown.size(), c.far_end.size());
  }
  // All of them at once, compared.
  for (int i = 0; i < 3; ++i) mark_for_comparison(i);
  ASSERT_TRUE(frames(3));
  EXPECT_EQ(width(), usual);
}

// A long host typed on the Client page: its status while the server does
// not answer, and the run it leaves on the Runs page, keep the window as
// wide as it was.
TEST_F(LongNamesTest, ALongHostTypedOnTheClientPageKeepsTheWindowAsWideAsItWas) {
  FakeTool iperf("sleep 60");
  ASSERT_TRUE(frames(3));
  const int usual = width();
  const ClientForm* form = client_form_of(window);
  const std::string host = dns_name(3000);
  gtk_editable_set_text(GTK_EDITABLE(form->server_row.get()), host.c_str());
  gtk_widget_activate(form->start_button.get());
  // The page says it has no answer yet from that host after a few seconds.
  ASSERT_TRUE(pump_until(
      [&] { return g_str_has_prefix(gtk_label_get_text(GTK_LABEL(form->details_label.get())), "No answer yet"); },
      10));
  ASSERT_TRUE(frames(3));
  EXPECT_EQ(width(), usual);
  gtk_widget_activate(form->start_button.get());  // stops it
  ASSERT_TRUE(pump_until([&] { return !log->runs().empty() && log->runs().back()->end != RunEnd::Running; }, 10));
  EXPECT_EQ(log->runs().back()->far_end, host + ", port 5201");
  open_runs();
  ASSERT_TRUE(frames(3));
  EXPECT_EQ(width(), usual);
}

// A row's subtitle wraps at any width the window gives it, but never between
// a figure and its unit, nor inside "Gbit/s" ("receive: 1.07 Gbit/" then
// "s" on the next line). Checked on GTK's own layout of the text at every
// width from a few characters to one line.
TEST(FiguresOnScreen, AFigureAndItsUnitStayOnOneLineAtEveryWidth) {
  const std::string ending = "Stopped after 2.5 s — send: 3.52 Gbit/s mean · receive: 5.15 Gbit/s mean";
  const std::vector<std::string> figures = {"2.5 s", "3.52 Gbit/s", "5.15 Gbit/s"};
  const std::string shown = figures_kept_whole(ending);
  GtkWidget* label = gtk_label_new(nullptr);
  g_object_ref_sink(label);
  PangoLayout* layout = gtk_widget_create_pango_layout(label, shown.c_str());
  pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
  // Where each figure lies in the shown text: its start, and its end.
  std::vector<std::pair<int, int>> spans;
  for (const std::string& figure : figures) {
    const std::string kept = figures_kept_whole(figure);
    const std::size_t at = shown.find(kept);
    ASSERT_NE(at, std::string::npos) << figure;
    spans.emplace_back(static_cast<int>(at), static_cast<int>(at + kept.size() - 1));
  }
  // The widest figure on its own: narrower than that, a figure has to break.
  int widest = 0;
  for (const std::string& figure : figures) {
    PangoLayout* alone = gtk_widget_create_pango_layout(label, figures_kept_whole(figure).c_str());
    int w = 0, h = 0;
    pango_layout_get_pixel_size(alone, &w, &h);
    widest = std::max(widest, w);
    g_object_unref(alone);
  }
  int widths_that_wrapped = 0;
  for (int width = widest + 1; width <= 600; width += 3) {
    pango_layout_set_width(layout, width * PANGO_SCALE);
    if (pango_layout_get_line_count(layout) > 1) ++widths_that_wrapped;
    for (std::size_t k = 0; k < spans.size(); ++k) {
      int first_line = 0, last_line = 0, x = 0;
      pango_layout_index_to_line_x(layout, spans[k].first, FALSE, &first_line, &x);
      pango_layout_index_to_line_x(layout, spans[k].second, FALSE, &last_line, &x);
      EXPECT_EQ(first_line, last_line) << "\"" << figures[k] << "\" split at " << width << " px";
    }
  }
  EXPECT_GT(widths_that_wrapped, 40);  // the widths did make the text wrap
  // What is copied keeps plain spaces: only what is shown changes.
  EXPECT_EQ(figures_kept_whole("no figures here"), "no figures here");
  g_object_unref(layout);
  g_object_unref(label);
}

TRELLAN_GTK_TEST_MAIN()
