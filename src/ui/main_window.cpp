#include "ui/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <mutex>

#include "engine/messages.h"
#include "engine/port_display.h"
#include "ui/bad_page_report.h"
#include "ui/debug_page.h"
#include "ui/status_bar_texts.h"
#include "ui/text_progress_bar.h"

namespace kvx::ui {
namespace {

constexpr int kPortsPerPage = 16;
constexpr int kPortButtonWidth = 88, kRowHeight = 20;
constexpr int kCommandWidth = 80, kCommandHeight = 30;
constexpr std::array<int, kStatusPanelCount> kPanelWidths = {120, 80, 120, 64, 76, 150, 50};
// Bars fill their full width with this colour; the port's state is the
// colour of the text drawn over it.
const QColor kPortBarColour(0xb8, 0xd8, 0xf8);

QColor ToQColor(BarColour c) {
  const Rgb rgb = ColourRgb(c);
  return QColor(rgb.r, rgb.g, rgb.b);
}

QPushButton* CommandButton(const char* name, const QString& caption, QWidget* parent) {
  auto* b = new QPushButton(caption, parent);
  b->setObjectName(QString::fromLatin1(name));
  b->setFixedSize(kCommandWidth, kCommandHeight);
  b->setFocusPolicy(Qt::NoFocus);
  // Two lines of caption in 30 pixels: a smaller font and no padding.
  QFont font = b->font();
  font.setPointSizeF(font.pointSizeF() * 0.85);
  b->setFont(font);
  b->setStyleSheet(QStringLiteral("QPushButton { padding: 0px; }"));
  return b;
}

StationKey KeyOf(const QKeyEvent& e) {
  const auto mods = e.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
  if (mods == Qt::ControlModifier) {
    if (e.key() == Qt::Key_C) return StationKey::CtrlC;
    if (e.key() == Qt::Key_S) return StationKey::CtrlS;
    return StationKey::Other;
  }
  if (mods != 0) return StationKey::Other;
  if (e.key() == Qt::Key_Space) return StationKey::Space;
  if (e.key() == Qt::Key_Escape) return StationKey::Escape;
  return StationKey::Other;
}

}  // namespace

MainWindow::MainWindow(Station& station, Operator& op, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      station_(station),
      operator_(op) {
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(QString::fromLatin1(kWindowCaption));
  setFixedSize(kWindowWidth, kWindowHeight);

  views_ = new QStackedWidget(this);
  topPanel_ = buildProductionView();
  bottomPanel_ = buildSettingsView();
  views_->addWidget(topPanel_);
  views_->addWidget(bottomPanel_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(views_);
  showProductionView();

  // Keys reach the window before its controls (a button with focus would
  // otherwise take Space for itself).
  qApp->installEventFilter(this);

  connect(&pollTimer_, &QTimer::timeout, this, &MainWindow::pollStation);
  pollTimer_.start(kPollIntervalMs);
  connect(&tickTimer_, &QTimer::timeout, this, [this] { station_.Tick(); });
  tickTimer_.start(1000);
  statusRetry_.setSingleShot(true);
  connect(&statusRetry_, &QTimer::timeout, this, &MainWindow::UpdateStatusBar);

  // Start-up: every idle port's bar starts without text; discovery and the
  // jobs fill them.
  for (int k = 0; k < kPortCount; ++k)
    if (!station_.busy(k)) station_.display(k).setText(std::string());
  UpdateStatusBar();
  pollStation();
}

MainWindow::~MainWindow() {
  qApp->removeEventFilter(this);
}

QWidget* MainWindow::buildProductionView() {
  auto* top = new QWidget;
  top->setObjectName(QStringLiteral("TopPanel"));

  portPages_ = new QTabWidget(top);
  portPages_->setObjectName(QStringLiteral("PageControl2"));
  portPages_->setFocusPolicy(Qt::NoFocus);
  static const char* const kPageCaptions[] = {"量产进度一屏", "量产进度二屏", "量产进度三屏",
                                              "量产进度四屏"};
  for (int page = 0; page < kPortCount / kPortsPerPage; ++page) {
    auto* sheet = new QWidget;
    sheet->setObjectName(QStringLiteral("ProgressSheet%1").arg(page + 1));
    auto* grid = new QGridLayout(sheet);
    grid->setContentsMargins(2, 2, 2, 2);
    grid->setHorizontalSpacing(2);
    grid->setVerticalSpacing(1);
    for (int row = 0; row < kPortsPerPage; ++row) {
      const int k = page * kPortsPerPage + row;
      auto* button = new QPushButton(QString::fromStdString(PortButtonCaption(k)), sheet);
      button->setObjectName(QStringLiteral("Disk%1").arg(k));
      button->setFixedSize(kPortButtonWidth, kRowHeight);
      button->setEnabled(false);
      button->setFocusPolicy(Qt::NoFocus);
      button->setProperty("Tag", k);
      connect(button, &QPushButton::clicked, this, [this, k] { station_.PortButtonClick(k); });
      auto* bar = new TextProgressBar(sheet);
      bar->setObjectName(QStringLiteral("p%1").arg(k));
      bar->setFixedHeight(kRowHeight);
      bar->setRange(0, 100);
      bar->setBarColour(kPortBarColour);
      bar->setProperty("Tag", k);
      grid->addWidget(button, row, 0);
      grid->addWidget(bar, row, 1);
      buttons_[std::size_t(k)] = button;
      bars_[std::size_t(k)] = bar;
    }
    grid->setRowStretch(kPortsPerPage, 1);
    portPages_->addTab(sheet, QString::fromUtf8(kPageCaptions[page]));
  }

  auto* commands = new QVBoxLayout;
  commands->setContentsMargins(0, 22, 0, 0);
  commands->setSpacing(8);
  auto* startAll = CommandButton("StartAll", QStringLiteral("全部开始\n  Space "), top);
  stopAll_ = CommandButton("StopAll", QStringLiteral(" 全部停止\n  Ctrl+C "), top);
  auto* setup = CommandButton("Setup", QStringLiteral("信息设置\n  Ctrl+S "), top);
  auto* refresh = CommandButton("RefeshPort", QStringLiteral("刷新端口"), top);
  auto* exitButton = CommandButton("Exit", QStringLiteral("退出程序\n Esc "), top);
  for (QPushButton* b : {startAll, stopAll_, setup, refresh, exitButton}) commands->addWidget(b);
  commandButtons_ = {startAll, stopAll_, setup, refresh};
  commands->addStretch(1);
  stopAll_->setEnabled(station_.stopAllEnabled());
  connect(startAll, &QPushButton::clicked, this, [this] { station_.StartAll(); });
  connect(stopAll_, &QPushButton::clicked, this, [this] { station_.StopAll(); });
  connect(setup, &QPushButton::clicked, this, [this] {
    if (station_.panel() == Panel::Production) applyKeyAction(station_.KeyPress(StationKey::CtrlS));
  });
  connect(refresh, &QPushButton::clicked, this, [this] {
    if (refreshPorts_) refreshPorts_();
  });
  connect(exitButton, &QPushButton::clicked, this, &QWidget::close);

  auto* sbar = new QStatusBar(top);
  sbar->setObjectName(QStringLiteral("sbar"));
  sbar->setSizeGripEnabled(false);
  const StatusBarTexts initial = InitialStatusBarTexts();
  for (int i = 0; i < kStatusPanelCount; ++i) {
    auto* panel = new QLabel(QString::fromStdString(initial[std::size_t(i)]), sbar);
    panel->setObjectName(QStringLiteral("sbarPanel%1").arg(i));
    panel->setAlignment(Qt::AlignCenter);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    // The seven widths add up to 660 pixels, more than the window is wide:
    // the last panel takes what is left, as it would be cut at the edge.
    if (i + 1 < kStatusPanelCount)
      panel->setFixedWidth(kPanelWidths[std::size_t(i)]);
    else
      panel->setMaximumWidth(kPanelWidths[std::size_t(i)]);
    sbar->addWidget(panel, i + 1 < kStatusPanelCount ? 0 : 1);
    panels_[std::size_t(i)] = panel;
  }

  auto* body = new QHBoxLayout;
  body->setContentsMargins(2, 2, 2, 0);
  body->setSpacing(4);
  body->addWidget(portPages_, 1);
  body->addLayout(commands);
  auto* layout = new QVBoxLayout(top);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addLayout(body, 1);
  layout->addWidget(sbar);
  return top;
}

QWidget* MainWindow::buildSettingsView() {
  auto* bottom = new QWidget;
  bottom->setObjectName(QStringLiteral("BottomPanel"));
  auto* back = new QPushButton(QStringLiteral("<<"), bottom);
  back->setObjectName(QStringLiteral("ReturnBtn"));
  back->setFixedSize(40, 201);
  back->setFlat(true);
  back->setFocusPolicy(Qt::NoFocus);
  connect(back, &QPushButton::clicked, this, [this] {
    if (station_.panel() == Panel::Settings) applyKeyAction(station_.KeyPress(StationKey::Escape));
  });

  settingsPages_ = new QTabWidget(bottom);
  settingsPages_->setObjectName(QStringLiteral("PageControl1"));

  // The bad-page report page.
  auto* badView = new QWidget;
  badView->setObjectName(QStringLiteral("BadView"));
  tree_ = new QTreeWidget(badView);
  tree_->setObjectName(QStringLiteral("BadBlkView"));
  tree_->setHeaderHidden(true);
  tree_->setColumnCount(1);
  tree_->setUniformRowHeights(true);
  tree_->setStyleSheet(QStringLiteral("QTreeWidget { background: black; color: white; }"));
  listWhileFormatting_ = new QCheckBox(QStringLiteral("ListWhileFormating"), badView);
  listWhileFormatting_->setObjectName(QStringLiteral("ListWhileFormating"));
  auto* save = new QPushButton(QStringLiteral("SaveToFile"), badView);
  save->setObjectName(QStringLiteral("SaveToFile"));
  auto* clear = new QPushButton(QStringLiteral("Clear Buffer"), badView);
  clear->setObjectName(QStringLiteral("ClearBuffer"));
  connect(save, &QPushButton::clicked, this, &MainWindow::SaveToFile);
  connect(clear, &QPushButton::clicked, this, &MainWindow::ClearBuffer);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(listWhileFormatting_);
  buttons->addStretch(1);
  buttons->addWidget(save);
  buttons->addWidget(clear);
  auto* pageLayout = new QVBoxLayout(badView);
  pageLayout->addWidget(tree_, 1);
  pageLayout->addLayout(buttons);
  settingsPages_->addTab(badView, QStringLiteral("坏页查看"));
  AddDebugPage(settingsPages_, station_);

  auto* layout = new QHBoxLayout(bottom);
  layout->setContentsMargins(2, 2, 2, 2);
  layout->addWidget(back, 0, Qt::AlignVCenter);
  layout->addWidget(settingsPages_, 1);
  return bottom;
}

bool MainWindow::productionViewShown() const {
  return views_->currentWidget() == topPanel_;
}

void MainWindow::showProductionView() {
  views_->setCurrentWidget(topPanel_);
}

void MainWindow::showSettingsView() {
  views_->setCurrentWidget(bottomPanel_);
}

void MainWindow::applyKeyAction(KeyAction action) {
  switch (action) {
    case KeyAction::ShowSettings:
      showSettingsView();
      break;
    case KeyAction::ReturnFromSettings:
      // The station has run the settings save; the view and the status bar
      // follow.
      showProductionView();
      UpdateStatusBar();
      break;
    case KeyAction::Close:
      close();
      break;
    case KeyAction::StartAll:
    case KeyAction::StopAll:
      pollStation();  // the started ports show at once
      break;
    case KeyAction::None:
      break;
  }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress || closed_) return QWidget::eventFilter(watched, event);
  auto* widget = qobject_cast<QWidget*>(watched);
  if (!widget || widget->window() != this) return QWidget::eventFilter(watched, event);
  const StationKey key = KeyOf(*static_cast<QKeyEvent*>(event));
  if (key == StationKey::Other) return false;
  if (closing_) return true;  // the station's keys do nothing while the jobs stop
  // In the settings view only Esc belongs to the window; the other keys go
  // to the page controls as usual.
  if (station_.panel() == Panel::Settings && key != StationKey::Escape) return false;
  applyKeyAction(station_.KeyPress(key));
  return true;
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (closed_) {
    event->accept();
    return;
  }
  // Asks "Exit DEDuro?"; on OK the station stops the hot-plug threads and
  // asks every job to stop. The window stays until the last worker is out of
  // its device command; the poll then lets the station save the settings and
  // close the handles, and closes the window.
  if (!closing_) {
    if (!station_.RequestClose()) {
      event->ignore();
      return;
    }
    closing_ = true;
    for (QPushButton* b : commandButtons_) b->setEnabled(false);
  }
  if (tryFinishClose()) {
    event->accept();
    return;
  }
  showClosingState();
  event->ignore();
}

bool MainWindow::tryFinishClose() {
  if (!station_.FinishClose()) return false;
  closed_ = true;
  pollStation();  // the last state of every port
  pollTimer_.stop();
  tickTimer_.stop();
  statusRetry_.stop();
  return true;
}

void MainWindow::showClosingState() {
  int stopping = 0;
  for (int k = 0; k < kPortCount; ++k) stopping += station_.busy(k) ? 1 : 0;
  const QString title = QStringLiteral("%1 - closing, %2 port(s) stopping")
                            .arg(QString::fromLatin1(kWindowCaption))
                            .arg(stopping);
  if (windowTitle() != title) setWindowTitle(title);
}

void MainWindow::UpdateStatusBar() {
  // Port discovery writes the flash-type choice and chip count into the
  // image under the control lock; a refresh may hold it for a while, so the
  // window tries again shortly instead of waiting for it.
  std::unique_lock lock(station_.controlMutex(), std::try_to_lock);
  if (!lock.owns_lock()) {
    if (!statusRetry_.isActive()) statusRetry_.start(50);
    return;
  }
  const ConfigImage& image = station_.config();
  const int zones = activeZoneCount_ > 0 ? activeZoneCount_ : StoredZoneCount(image);
  const StatusBarTexts texts = ComputeStatusBarTexts(image, zones);
  lock.unlock();
  for (int i = 0; i < kStatusPanelCount; ++i)
    panels_[std::size_t(i)]->setText(QString::fromStdString(texts[std::size_t(i)]));
}

void MainWindow::applyPortView(int k, const PortView& v) {
  QPushButton* button = buttons_[std::size_t(k)];
  const QString caption = QString::fromStdString(v.buttonCaption);
  if (button->text() != caption) button->setText(caption);
  if (button->isEnabled() != v.buttonEnabled) button->setEnabled(v.buttonEnabled);
  TextProgressBar* bar = bars_[std::size_t(k)];
  bar->setText(QString::fromStdString(v.text));
  bar->setTextColour(ToQColor(v.colour));
  bar->setValue(v.percent);
}

void MainWindow::pollStation() {
  QElapsedTimer clock;
  clock.start();
  for (int k = 0; k < kPortCount; ++k) {
    PortDisplay& display = station_.display(k);
    if (display.version() == seenVersion_[std::size_t(k)]) continue;
    const PortView view = display.snapshot();
    seenVersion_[std::size_t(k)] = view.version;
    applyPortView(k, view);
    ++stats_.portsRepainted;
  }
  const bool stopAllEnabled = station_.stopAllEnabled() && !closing_;
  if (stopAll_->isEnabled() != stopAllEnabled) stopAll_->setEnabled(stopAllEnabled);
  if (station_.badPageTree().version() != seenTreeVersion_) syncTree();
  ++stats_.polls;
  stats_.longestPollUs = std::max<std::int64_t>(stats_.longestPollUs, clock.nsecsElapsed() / 1000);
  if (closing_ && !closed_) {
    if (tryFinishClose())
      close();
    else
      showClosingState();
  }
}

void MainWindow::syncTree() {
  BadPageTree& model = station_.badPageTree();
  // The version is read before the snapshot: a change in between shows at
  // the next poll instead of being missed.
  seenTreeVersion_ = model.version();
  const std::vector<BadPageTree::Node> nodes = model.snapshot();

  // Nodes are only ever appended, except when the tree is emptied: any other
  // difference in the known prefix means start over.
  bool same = nodes.size() >= shownNodes_.size();
  for (std::size_t i = 0; same && i < shownNodes_.size(); ++i)
    same = nodes[i].id == shownNodes_[i].id && nodes[i].lines.size() >= shownNodes_[i].lines;
  if (!same) {
    tree_->clear();
    shownNodes_.clear();
  }
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const BadPageTree::Node& node = nodes[i];
    if (i == shownNodes_.size()) {
      auto* item = new QTreeWidgetItem(tree_, QStringList(QString::fromStdString(node.text)));
      item->setExpanded(true);
      shownNodes_.push_back({node.id, item, 0, {}});
    }
    ShownNode& shown = shownNodes_[i];
    const QString text = QString::fromStdString(node.text);
    if (shown.item->text(0) != text) shown.item->setText(0, text);
    for (; shown.lines < node.lines.size(); ++shown.lines) {
      const BadPageTree::Line& line = node.lines[shown.lines];
      const std::size_t level = std::size_t(std::max(line.level, 1));
      // A line goes under the last line one level up; with none there, under
      // the deepest line there is.
      const std::size_t depth = std::min(level - 1, shown.levels.size());
      QTreeWidgetItem* parent = depth == 0 ? shown.item : shown.levels[depth - 1];
      auto* item = new QTreeWidgetItem(parent, QStringList(QString::fromStdString(line.text)));
      shown.levels.resize(depth);
      shown.levels.push_back(item);
    }
  }
}

void MainWindow::SaveToFile() {
  if (station_.badPageTree().snapshot().empty()) return;
  listWhileFormatting_->setChecked(false);
  QFileDialog dialog(this);
  dialog.setObjectName(QStringLiteral("SaveDialog"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilter(QStringLiteral("Text file (*.txt)"));
  dialog.setDefaultSuffix(QStringLiteral("txt"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const std::filesystem::path file = dialog.selectedFiles().front().toStdString();
  std::string error;
  // The tree as it is now: lines may have come in while the dialog was open.
  if (!WriteBadPageReport(file, station_.badPageTree().snapshot(), error)) {
    const MessageCatalogue& m = station_.messages();
    operator_.inform({msg::kWarning, 0, m.str(msg::kWarning), error});
  }
}

void MainWindow::ClearBuffer() {
  listWhileFormatting_->setChecked(false);
  station_.badPageTree().clear();
  syncTree();
}

}  // namespace kvx::ui
