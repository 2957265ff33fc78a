#pragma once
// The station's window: the production view (four tabs of 16 port buttons
// and bars, five command buttons, the seven-panel status bar) and the
// settings view (the return button and the settings pages, of which only the
// bad-page report exists so far).
//
// Workers never touch a widget. The window polls every port's display record
// about 30 times a second and repaints only the ports whose change counter
// moved; the bad-page tree is mirrored the same way, appending only new
// lines. The station's one-second tick comes from a timer of this window.
// Every command runs on the window's thread.

#include <QTimer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/bad_page_tree.h"
#include "engine/operator.h"
#include "engine/port_record.h"
#include "engine/station.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QStackedWidget;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace kvx::ui {

class TextProgressBar;

inline constexpr const char* kWindowCaption = "KVX7350 DEDuro V1.020080218";
inline constexpr int kWindowWidth = 630, kWindowHeight = 410;
inline constexpr int kPollIntervalMs = 33;

class MainWindow : public QWidget {
  Q_OBJECT
 public:
  // `op` answers the window's own notices (a report that could not be
  // saved); the station asks its questions through its own operator.
  MainWindow(Station& station, Operator& op, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The refresh button's work (a refresh on the enumeration thread).
  void setRefreshPorts(std::function<void()> refresh) { refreshPorts_ = std::move(refresh); }
  // The zone split's working zone count for the status bar; 0 takes it
  // from the zone-bar widths stored in the settings image.
  void setActiveZoneCount(int zones) { activeZoneCount_ = zones; }
  // The settings view's tab control; the settings pages are added to it.
  QTabWidget* settingsPages() const { return settingsPages_; }

  void UpdateStatusBar();
  void SaveToFile();
  void ClearBuffer();
  bool productionViewShown() const;
  // A close was confirmed and the window waits for the jobs to stop.
  bool closing() const { return closing_; }

  // One poll of the port displays and the bad-page tree (the timer's work).
  void pollStation();
  struct PollStats {
    std::uint64_t polls = 0;
    std::uint64_t portsRepainted = 0;  // ports whose widgets were updated
    std::int64_t longestPollUs = 0;    // longest single poll, microseconds
  };
  const PollStats& pollStats() const { return stats_; }
  void resetPollStats() { stats_ = {}; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  QWidget* buildProductionView();
  QWidget* buildSettingsView();
  void applyKeyAction(KeyAction action);
  void showProductionView();
  void showSettingsView();
  void applyPortView(int port, const PortView& view);
  void syncTree();
  void showClosingState();
  bool tryFinishClose();

  Station& station_;
  Operator& operator_;
  std::function<void()> refreshPorts_;
  int activeZoneCount_ = 0;
  bool closing_ = false;
  bool closed_ = false;

  QStackedWidget* views_ = nullptr;
  QWidget* topPanel_ = nullptr;
  QWidget* bottomPanel_ = nullptr;
  QTabWidget* portPages_ = nullptr;
  QTabWidget* settingsPages_ = nullptr;
  QPushButton* stopAll_ = nullptr;
  std::vector<QPushButton*> commandButtons_;
  std::array<QPushButton*, kPortCount> buttons_{};
  std::array<TextProgressBar*, kPortCount> bars_{};
  std::array<std::uint64_t, kPortCount> seenVersion_{};
  std::array<QLabel*, 7> panels_{};
  QTreeWidget* tree_ = nullptr;
  QCheckBox* listWhileFormatting_ = nullptr;

  // What the tree widget shows of the station's tree: per root node its id,
  // its item, the lines already added and the last item of every level.
  struct ShownNode {
    BadPageTree::NodeId id;
    QTreeWidgetItem* item;
    std::size_t lines;
    std::vector<QTreeWidgetItem*> levels;
  };
  std::vector<ShownNode> shownNodes_;
  std::uint64_t seenTreeVersion_ = 0;

  QTimer pollTimer_;
  QTimer tickTimer_;
  QTimer statusRetry_;
  PollStats stats_;
};

}  // namespace kvx::ui
