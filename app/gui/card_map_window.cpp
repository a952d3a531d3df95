#include "gui/card_map_window.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QStyle>
#include <QTableWidget>

#include "core/messages.h"
#include "gui/command_host.h"
#include "gui/prompts.h"
#include "ui_card_map_window.h"

namespace {

constexpr int kCardMapCommand = 32829;
constexpr int kMsgTitle = 2410;
constexpr int kMsgLegend = 2418;
constexpr int kMsgOpen = 2419;
constexpr int kMsgFilter = 2420;
constexpr int kMsgNoDump = 2422;
constexpr int kMsgTrailerGroup = 2434;
constexpr int kMsgChosen = 2435;
constexpr int kMsgTrailerChosen = 2436;
constexpr int kMsgSectorMissing = 2437;
constexpr int kMsgTable = 2438;
constexpr int kMsgReadSource = 2439;
constexpr int kMsgHint = 2440;
constexpr int kMsgSectorHeader = 2441;

const char* const kObjectName = "cardMapWindow";

constexpr cardmap::BlockKind kKinds[cardmap::kBlockKinds] = {
    cardmap::BlockKind::Manufacturer, cardmap::BlockKind::Data, cardmap::BlockKind::Value,
    cardmap::BlockKind::Trailer, cardmap::BlockKind::NotRead};

QString KindName(cardmap::BlockKind kind) {
  static const char* const names[] = {"manufacturer", "data", "value", "trailer", "notRead"};
  return QString::fromLatin1(names[static_cast<int>(kind)]);
}

}  // namespace

QColor CardMapColour(cardmap::BlockKind kind) {
  switch (kind) {
    case cardmap::BlockKind::Manufacturer:
      return QColor(0xF2, 0xC0, 0x7E);
    case cardmap::BlockKind::Data:
      return QColor(0xB5, 0xDD, 0xAE);
    case cardmap::BlockKind::Value:
      return QColor(0xA9, 0xCB, 0xF2);
    case cardmap::BlockKind::Trailer:
      return QColor(0xE9, 0xA8, 0xB4);
    case cardmap::BlockKind::NotRead:
      break;
  }
  return QColor(0xDD, 0xDD, 0xDD);
}

CardMapWindow::CardMapWindow(QWidget* parent)
    : QWidget(parent, Qt::Window), ui_(std::make_unique<Ui::CardMapWindow>()) {
  ui_->setupUi(this);
  setObjectName(QString::fromLatin1(kObjectName));
  QTableWidget* table = ui_->mapTable;
  // Equal columns, so that a sector's blocks line up with every other's.
  table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
  table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 8);
  table->setTabKeyNavigation(false);

  // The legend: one coloured label per kind, its text naming the kind.
  for (const cardmap::BlockKind kind : kKinds) {
    auto* entry = new QLabel(ui_->legendGroup);
    entry->setObjectName(QStringLiteral("legend_") + KindName(kind));
    entry->setAutoFillBackground(true);
    QPalette palette = entry->palette();
    palette.setColor(QPalette::Window, CardMapColour(kind));
    palette.setColor(QPalette::WindowText, Qt::black);
    entry->setPalette(palette);
    entry->setMargin(3);
    ui_->legendLayout->addWidget(entry);
  }
  ui_->legendLayout->addStretch(1);

  connect(ui_->openDumpButton, &QPushButton::clicked, this, [this] { OpenDumpFile(); });
  connect(table, &QTableWidget::currentCellChanged, this, [this](int row) {
    selectedSector_ = row;
    ShowTrailer();
  });
  connect(table, &QTableWidget::cellDoubleClicked, this,
          [this](int row, int column) { Choose(row, column); });
  // Enter does what a double-click does, for those who work from the keyboard.
  for (const QKeySequence& key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
    auto* shortcut = new QShortcut(key, table, nullptr, nullptr, Qt::WidgetShortcut);
    connect(shortcut, &QShortcut::activated, this,
            [this, table] { Choose(table->currentRow(), table->currentColumn()); });
  }
  ApplyTexts();
  Fill();
}

CardMapWindow::~CardMapWindow() = default;

QTableWidget* CardMapWindow::table() const {
  return ui_->mapTable;
}

QLabel* CardMapWindow::trailerLabel() const {
  return ui_->trailerText;
}

void CardMapWindow::ApplyTexts() {
  setWindowTitle(LoadMessage(kMsgTitle));
  ui_->openDumpButton->setText(LoadMessage(kMsgOpen));
  ui_->hintLabel->setText(LoadMessage(kMsgHint));
  ui_->mapTable->setAccessibleName(LoadMessage(kMsgTable));
  ui_->legendGroup->setTitle(LoadMessage(kMsgLegend));
  ui_->trailerGroup->setTitle(LoadMessage(kMsgTrailerGroup));
  for (const cardmap::BlockKind kind : kKinds) {
    auto* entry = ui_->legendGroup->findChild<QLabel*>(QStringLiteral("legend_") + KindName(kind));
    SetLabelText(entry, cardmap::KindText(kind));
  }
}

// A label that shows a result tells assistive technology what it shows.
void CardMapWindow::SetLabelText(QLabel* label, const QString& text) {
  label->setText(text);
  label->setAccessibleName(text);
}

void CardMapWindow::ShowDump(const cardtools::Dump& dump, const QString& source) {
  dump_ = dump;
  source_ = source;
  hasDump_ = true;
  Fill();
}

void CardMapWindow::OpenDumpFile() {
  Prompts& prompts = CurrentPrompts();
  const QString path = prompts.OpenFileName(this, LoadMessage(kMsgFilter));
  if (path.isEmpty()) return;
  cardtools::Dump dump;
  QString error;
  if (!cardmap::LoadDump(path, &dump, &error)) {
    prompts.Message(this, error, LoadMessage(kMsgTitle), Prompts::Icon::Warning);
    return;
  }
  ShowDump(dump, path);
}

void CardMapWindow::Fill() {
  QTableWidget* table = ui_->mapTable;
  const QSignalBlocker blocker(table);
  table->clear();
  rows_.clear();
  ui_->statusLabel->clear();
  if (!hasDump_) {
    table->setRowCount(0);
    table->setColumnCount(0);
    SetLabelText(ui_->cardLabel, LoadMessage(kMsgNoDump));
    selectedSector_ = -1;
    ShowTrailer();
    return;
  }
  SetLabelText(ui_->cardLabel, cardmap::CardSummary(dump_, source_));
  rows_ = cardmap::BuildRows(dump_);
  int columns = 0;
  for (const cardmap::SectorRow& row : rows_) {
    columns = std::max(columns, static_cast<int>(row.cells.size()));
  }
  table->setRowCount(static_cast<int>(rows_.size()));
  table->setColumnCount(columns);
  for (int c = 0; c < columns; ++c) {
    table->setHorizontalHeaderItem(c, new QTableWidgetItem(QString::number(c)));
  }
  for (const cardmap::SectorRow& row : rows_) {
    auto* header = new QTableWidgetItem(QString::asprintf("0x%02X", row.sector));
    header->setData(Qt::AccessibleTextRole, FormatMessage(kMsgSectorHeader, row.sector));
    header->setToolTip(cardmap::StatusText(row.status));
    table->setVerticalHeaderItem(row.sector, header);
    for (const cardmap::Cell& cell : row.cells) {
      auto* item = new QTableWidgetItem(cardmap::CellText(cell));
      const QString description = cardmap::CellDescription(row.sector, cell);
      item->setData(Qt::AccessibleTextRole, description);
      item->setData(Qt::UserRole, static_cast<int>(cell.kind));
      item->setBackground(CardMapColour(cell.kind));
      item->setForeground(QColor(Qt::black));
      item->setTextAlignment(Qt::AlignCenter);
      item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
      QString tip = description;
      if (cell.kind != cardmap::BlockKind::NotRead) {
        const QString bytes = QString::fromStdString(cardtools::ToHex(cell.data, " "));
        item->setData(Qt::AccessibleDescriptionRole, bytes);
        tip += QStringLiteral("\n") + bytes;
      }
      item->setToolTip(tip);
      table->setItem(row.sector, cell.blockInSector, item);
    }
  }
  // No cell text is cut: the narrowest column still fits the widest text.
  int widest = 0;
  for (int r = 0; r < table->rowCount(); ++r) {
    for (int c = 0; c < columns; ++c) {
      if (const QTableWidgetItem* item = table->item(r, c)) {
        widest = std::max(widest, table->fontMetrics().horizontalAdvance(item->text()));
      }
    }
  }
  widest += 2 * table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table) + 8;
  table->horizontalHeader()->setMinimumSectionSize(widest);
  // Wide enough for every column, within the screen.
  const int needed = table->verticalHeader()->sizeHint().width() + columns * widest +
                     table->verticalScrollBar()->sizeHint().width() + 2 * table->frameWidth() +
                     (width() - table->width());
  int room = needed;
  if (const QScreen* screen = this->screen()) room = screen->availableGeometry().width();
  if (width() < needed) resize(std::min(needed, room), height());
  const int keep = selectedSector_;
  selectedSector_ = -1;
  SelectSector(keep >= 0 && keep < table->rowCount() ? keep : 0);
}

void CardMapWindow::SelectSector(int sector) {
  QTableWidget* table = ui_->mapTable;
  if (sector < 0 || sector >= table->rowCount()) return;
  {
    const QSignalBlocker blocker(table);
    table->setCurrentCell(sector, 0);
  }
  selectedSector_ = sector;
  ShowTrailer();
}

void CardMapWindow::ShowTrailer() {
  if (!hasDump_ || selectedSector_ < 0) {
    SetLabelText(ui_->trailerText, QString());
    return;
  }
  const cardmap::TrailerInfo info = cardmap::DecodeTrailer(dump_, selectedSector_);
  SetLabelText(ui_->trailerText, cardmap::TrailerLines(info).join(u'\n'));
}

QTableWidgetItem* CardMapWindow::cell(int sector, int blockInSector) const {
  return ui_->mapTable->item(sector, blockInSector);
}

void CardMapWindow::Choose(int row, int column) {
  if (cell(row, column) == nullptr) return;  // a column a small sector lacks
  emit BlockChosen(row, column);
}

void CardMapWindow::ShowChoice(const QString& text) {
  SetLabelText(ui_->statusLabel, text);
}

namespace {

// Puts a block into the main window's sector and block boxes, as if the operator
// had picked them there (the boxes' own handlers run). The boxes are found as
// assistive technology finds them, so the window needs no hook for the map.
void ChooseInWindow(QWidget* window, CardMapWindow& map, int sector, int block) {
  auto* sectors = window->findChild<QComboBox*>(QStringLiteral("sectorBox"));
  const int sectorIndex = sectors != nullptr ? sectors->findData(sector) : -1;
  if (sectorIndex < 0) {
    map.ShowChoice(FormatMessage(kMsgSectorMissing, sector));
    return;
  }
  sectors->setCurrentIndex(sectorIndex);
  auto* blocks = window->findChild<QComboBox*>(QStringLiteral("blockBox"));
  const int blockIndex = blocks != nullptr ? blocks->findData(block) : -1;
  if (blockIndex < 0) {
    map.ShowChoice(FormatMessage(kMsgTrailerChosen, sector));
    return;
  }
  blocks->setCurrentIndex(blockIndex);
  map.ShowChoice(FormatMessage(kMsgChosen, sector, block));
}

}  // namespace

CardMapWindow& CardMapOf(CommandHost& host) {
  QWidget* window = host.DialogParent();
  auto* map = window->findChild<CardMapWindow*>(QString::fromLatin1(kObjectName),
                                                Qt::FindDirectChildrenOnly);
  if (map == nullptr) {
    map = new CardMapWindow(window);
    QObject::connect(
        map, &CardMapWindow::BlockChosen, window,
        [window, map](int sector, int block) { ChooseInWindow(window, *map, sector, block); });
  }
  return *map;
}

void ShowCardMapAfterRead(CommandHost& host, const cardtools::Dump& dump) {
  CardMapWindow& map = CardMapOf(host);
  map.ShowDump(dump, LoadMessage(kMsgReadSource));
  map.show();
  map.raise();
}

void RegisterCardMap() {
  RegisterOperatorCommand(kCardMapCommand, [](CommandHost& host) {
    CardMapWindow& map = CardMapOf(host);
    map.show();
    map.raise();
    map.activateWindow();
  });
}
