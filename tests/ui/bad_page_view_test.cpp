#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDialog>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <fstream>
#include <sstream>

#include "ui/bad_page_report.h"
#include "ui/window_test_support.h"

namespace kvx::test {
namespace {

using namespace std::chrono_literals;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every node of the widget as "<depth><text>" lines, in order.
void Flatten(QTreeWidgetItem* item, int depth, std::string& out) {
  out += std::to_string(depth) + item->text(0).toStdString() + "\n";
  for (int i = 0; i < item->childCount(); ++i) Flatten(item->child(i), depth + 1, out);
}
std::string Flatten(QTreeWidget* tree) {
  std::string out;
  for (int i = 0; i < tree->topLevelItemCount(); ++i) Flatten(tree->topLevelItem(i), 0, out);
  return out;
}

TEST(BadPageReport, TabPerLevelAndCrLf) {
  const std::vector<BadPageTree::Node> nodes = {
      {1, 0, "/media/kvx1", {{1, "Chip 0 Block 12"}, {2, "Page 3"}, {2, "Page 4"}, {1, "Chip 1"}}},
      {2, 5, "", {}},
      {3, 6, "/media/kvx7", {{3, "deep"}}},
  };
  EXPECT_EQ(ui::BadPageReportText(nodes),
            "/media/kvx1\r\n\tChip 0 Block 12\r\n\t\tPage 3\r\n\t\tPage 4\r\n\tChip 1\r\n"
            "\r\n"
            "/media/kvx7\r\n\t\t\tdeep\r\n");
  EXPECT_EQ(ui::BadPageReportText({}), "");
  std::string error;
  EXPECT_FALSE(ui::WriteBadPageReport("/nonexistent-dir/r.txt", nodes, error));
  EXPECT_NE(error.find("/nonexistent-dir/r.txt"), std::string::npos) << error;
}

// The tree follows the jobs' lines; a line of level n hangs under the last
// line of level n-1.
TEST(BadPageView, MirrorsTheStationTreeAndClears) {
  WindowFixture f;
  auto* tree = f.window->findChild<QTreeWidget*>("BadBlkView");
  auto* list = f.window->findChild<QCheckBox*>("ListWhileFormating");
  ASSERT_TRUE(tree && list);
  EXPECT_FALSE(list->isChecked());
  BadPageTree& model = f.station.badPageTree();
  const auto a = model.addRoot(0, "/media/a");
  model.addLine(a, "Block 1");
  model.addLine(a, "Page 1", 2);
  f.window->pollStation();
  model.addLine(a, "Page 2", 2);  // added after the first look
  model.addLine(a, "Block 2");
  const auto b = model.addRoot(1, "/media/b");
  model.addLine(b, "Block 9");
  model.appendToRootText(a, " (done)");
  f.window->pollStation();
  EXPECT_EQ(Flatten(tree),
            "0/media/a (done)\n1Block 1\n2Page 1\n2Page 2\n1Block 2\n0/media/b\n1Block 9\n");

  // Emptied (as Start All does) and refilled between two polls.
  model.clear();
  model.addLine(model.addRoot(3, "/media/c"), "Block 5");
  f.window->pollStation();
  EXPECT_EQ(Flatten(tree), "0/media/c\n1Block 5\n");

  list->setChecked(true);
  f.window->findChild<QPushButton*>("ClearBuffer")->click();
  EXPECT_FALSE(list->isChecked());
  EXPECT_EQ(tree->topLevelItemCount(), 0);
  EXPECT_TRUE(model.snapshot().empty());
}

TEST(BadPageView, JobsFillItAndStartAllEmptiesIt) {
  WindowFixture f;
  auto* tree = f.window->findChild<QTreeWidget*>("BadBlkView");
  f.attach({2, 4});
  f.key(Qt::Key_Space);
  ASSERT_TRUE(WaitUntil([&] { return f.idle(); }));
  f.window->pollStation();
  EXPECT_EQ(Flatten(tree),
            "0/media/kvx3\n1Chip 0 Block 39\n2Page 3\n1Chip 0 Block 76\n2Page 6\n"
            "0/media/kvx5\n1Chip 0 Block 41\n2Page 3\n1Chip 0 Block 78\n2Page 6\n");
  f.key(Qt::Key_Space);
  ASSERT_TRUE(WaitUntil([&] { return f.idle(); }));
  f.window->pollStation();
  EXPECT_EQ(tree->topLevelItemCount(), 2) << "the earlier run's nodes are gone";
}

// Accepts the save dialog with `name` inside `dir` once it shows.
void AnswerSaveDialog(const QString& dir, const QString& name, bool& shown) {
  QTimer::singleShot(0, [=, &shown] {
    WaitUntil(
        [] { return qobject_cast<QFileDialog*>(QApplication::activeModalWidget()) != nullptr; },
        5000);
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!dialog) return;
    shown = true;
    dialog->setDirectory(dir);
    dialog->selectFile(name);
    static_cast<QDialog*>(dialog)->accept();  // as the Save button does
  });
}

TEST(BadPageView, SaveToFileWritesTheTreeAsText) {
  WindowFixture f;
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  auto* list = f.window->findChild<QCheckBox*>("ListWhileFormating");
  QPushButton* save = f.window->findChild<QPushButton*>("SaveToFile");

  // An empty tree: no dialog, no file.
  bool shown = false;
  list->setChecked(true);
  f.window->SaveToFile();
  EXPECT_TRUE(list->isChecked());

  BadPageTree& model = f.station.badPageTree();
  const auto a = model.addRoot(0, "/media/kvx1");
  model.addLine(a, "Chip 0 Block 12");
  model.addLine(a, "Page 3", 2);
  model.addRoot(1, "/media/kvx2");
  f.key(Qt::Key_S, Qt::ControlModifier);
  AnswerSaveDialog(dir.path(), "report", shown);
  save->click();
  ASSERT_TRUE(shown);
  EXPECT_FALSE(list->isChecked());
  EXPECT_EQ(ReadFile((dir.path() + "/report.txt").toStdString()),
            "/media/kvx1\r\n\tChip 0 Block 12\r\n\t\tPage 3\r\n/media/kvx2\r\n")
      << "default extension txt";
  EXPECT_TRUE(f.op.notices.empty());
}

}  // namespace
}  // namespace kvx::test
