#include "gui/dialogs/access_tables.h"

#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QRadioButton>
#include <QTabBar>
#include <QVBoxLayout>

#include "core/card_map.h"
#include "core/card_text.h"
#include "core/messages.h"
#include "gui/card_level_page.h"

namespace {

using accessbits::DataOp;
using accessbits::Part;

// The same words as the card map's trailer text.
using cardmap::RightsText;
QString BitsText(int row) {
  return cardmap::RowBitsText(row);
}

QLabel* Heading(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setAlignment(Qt::AlignCenter);
  return label;
}

QFrame* Box(QWidget* parent) {
  auto* frame = new QFrame(parent);
  frame->setFrameShape(QFrame::StyledPanel);
  return frame;
}

}  // namespace

AccessTables::AccessTables(QWidget* parent) : QWidget(parent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);

  // Data-block table under its tabs.
  auto* dataSide = new QVBoxLayout;
  tabs_ = new QTabBar(this);
  tabs_->setObjectName(QStringLiteral("blockTabs1625"));
  tabs_->setAccessibleName(UiText(QStringLiteral("113.dataTable")));
  for (int i = 0; i < 3; ++i) tabs_->addTab(QString());
  dataSide->addWidget(tabs_);
  QFrame* dataBox = Box(this);
  auto* dataGrid = new QGridLayout(dataBox);
  dataGrid->addWidget(Heading(QStringLiteral("C1 C2 C3"), dataBox), 0, 0);
  dataGrid->addWidget(Heading(UiText(QStringLiteral("113.read")), dataBox), 0, 1);
  dataGrid->addWidget(Heading(UiText(QStringLiteral("113.write")), dataBox), 0, 2);
  dataGrid->addWidget(Heading(UiText(QStringLiteral("113.increment")), dataBox), 0, 3);
  decrementHeading_ = Heading(UiText(QStringLiteral("113.decrement")), dataBox);
  dataGrid->addWidget(decrementHeading_, 0, 4);
  for (int r = 0; r < 8; ++r) {
    auto* radio = new QRadioButton(BitsText(r), dataBox);
    radio->setAutoExclusive(false);
    radio->setObjectName(QStringLiteral("dataRow%1").arg(1381 + r));
    QStringList cells;
    for (int c = 0; c < 4; ++c) {
      auto* cell =
          new QLabel(RightsText(accessbits::DataRights(r, static_cast<DataOp>(c))), dataBox);
      cell->setAlignment(Qt::AlignCenter);
      cell->setObjectName(QStringLiteral("dataText%1_%2").arg(1400 + r).arg(c));
      dataCells_[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] = cell;
      dataGrid->addWidget(cell, r + 1, c + 1);
      cells << cell->text();
    }
    radio->setAccessibleName(BitsText(r) + QStringLiteral(": ") + cells.join(QStringLiteral(", ")));
    dataGrid->addWidget(radio, r + 1, 0);
    dataRadios_[static_cast<std::size_t>(r)] = radio;
    connect(radio, &QRadioButton::clicked, this, [this, r] { ChooseData(r); });
  }
  dataSide->addWidget(dataBox);
  dataSide->addStretch(1);
  layout->addLayout(dataSide, 4);

  // Trailer table: key A, access bits and key B, each read and write.
  auto* trailerSide = new QVBoxLayout;
  auto* trailerTitle = new QLabel(UiText(QStringLiteral("113.trailerTable")), this);
  trailerSide->addWidget(trailerTitle);
  QFrame* trailerBox = Box(this);
  auto* trailerGrid = new QGridLayout(trailerBox);
  trailerGrid->addWidget(Heading(QStringLiteral("C1 C2 C3"), trailerBox), 0, 0, 2, 1);
  const char* parts[3] = {"113.keyAColumn", "113.accessColumn", "113.keyBColumn"};
  for (int p = 0; p < 3; ++p) {
    trailerGrid->addWidget(Heading(UiText(QLatin1String(parts[p])), trailerBox), 0, 1 + 2 * p, 1,
                           2);
    trailerGrid->addWidget(Heading(UiText(QStringLiteral("113.readShort")), trailerBox), 1,
                           1 + 2 * p);
    trailerGrid->addWidget(Heading(UiText(QStringLiteral("113.writeShort")), trailerBox), 1,
                           2 + 2 * p);
  }
  for (int r = 0; r < 8; ++r) {
    auto* radio = new QRadioButton(BitsText(r), trailerBox);
    radio->setAutoExclusive(false);
    radio->setObjectName(QStringLiteral("trailerRow%1").arg(1389 + r));
    QStringList cells;
    for (int c = 0; c < 6; ++c) {
      const auto part = static_cast<Part>(c / 2);
      const int rights = c % 2 == 0 ? accessbits::TrailerReadRights(r, part)
                                    : accessbits::TrailerWriteRights(r, part);
      auto* cell = new QLabel(RightsText(rights), trailerBox);
      cell->setAlignment(Qt::AlignCenter);
      cell->setObjectName(QStringLiteral("trailerText%1_%2").arg(1408 + r).arg(c));
      trailerCells_[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] = cell;
      trailerGrid->addWidget(cell, r + 2, c + 1);
      cells << cell->text();
    }
    radio->setAccessibleName(BitsText(r) + QStringLiteral(": ") + cells.join(QStringLiteral(", ")));
    trailerGrid->addWidget(radio, r + 2, 0);
    trailerRadios_[static_cast<std::size_t>(r)] = radio;
    connect(radio, &QRadioButton::clicked, this, [this, r] { ChooseTrailer(r); });
  }
  trailerSide->addWidget(trailerBox);
  trailerSide->addStretch(1);
  layout->addLayout(trailerSide, 5);

  connect(tabs_, &QTabBar::currentChanged, this, [this] { Refresh(); });
  SetLargeSector(false);
  Refresh();
}

void AccessTables::SetLargeSector(bool large) {
  const int first = large ? 2355 : 2340;
  for (int i = 0; i < 3; ++i) tabs_->setTabText(i, LoadMessage(first + 5 * i));
}

void AccessTables::SetDecrementHeading(const QString& text) {
  decrementHeading_->setText(text);
}

void AccessTables::ShowCardRows(const accessbits::Rows& rows) {
  card_ = rows;
  Refresh();
}

void AccessTables::ClearCardRows() {
  card_.fill(accessbits::kUnknownRow);
  Refresh();
}

bool AccessTables::DataRowGreyed(int row) const {
  return !dataCells_[static_cast<std::size_t>(row)][0]->isEnabled();
}

bool AccessTables::TrailerRowGreyed(int row) const {
  return !trailerCells_[static_cast<std::size_t>(row)][0]->isEnabled();
}

void AccessTables::ChooseData(int row) {
  selected_[static_cast<std::size_t>(tabs_->currentIndex())] = row;
  Refresh();
  emit RowsChosen();
}

void AccessTables::ChooseTrailer(int row) {
  selected_[3] = row;
  trailerChosen_ = true;
  Refresh();
  emit RowsChosen();
}

// Puts every radio and row text in the state the choice and the card rows ask
// for; clicking a radio toggles it, so each refresh sets all of them again.
void AccessTables::Refresh() {
  const auto tab = static_cast<std::size_t>(std::max(0, tabs_->currentIndex()));
  for (int r = 0; r < 8; ++r) {
    const auto i = static_cast<std::size_t>(r);
    const bool dataCard = card_[tab] == r;
    dataRadios_[i]->setChecked(selected_[tab] == r || dataCard);
    for (QLabel* cell : dataCells_[i]) cell->setEnabled(!dataCard);
    const bool trailerCard = card_[3] == r;
    trailerRadios_[i]->setChecked((trailerChosen_ && selected_[3] == r) || trailerCard);
    for (QLabel* cell : trailerCells_[i]) cell->setEnabled(!trailerCard);
  }
}

namespace trailerdialog {

void FillSectors(QComboBox* box, int cardType, int initial) {
  const int count = cardType == 0 ? 16 : 40;
  box->clear();
  for (int s = 0; s < count; ++s) box->addItem(QString::asprintf("0x%02X", s), s);
  box->setCurrentIndex(initial >= 0 && initial < count ? initial : 0);
}

void FillKeyTypes(QComboBox* box) {
  box->clear();
  box->addItem(LoadMessage(2130));
  box->addItem(LoadMessage(2135));
}

QString Text(const char* name) {
  return UiText(QStringLiteral("113.") + QLatin1String(name));
}

QString StepFailure(const QString& step, int code) {
  QString cause = CodeText(code);
  while (cause.endsWith(u'\n')) cause.chop(1);
  return step + QStringLiteral(":") + cause;
}

void Log(CardLevelPage& page, const QString& text) {
  if (page.owner() == nullptr) return;
  QString line = text;
  if (!line.endsWith(u'\n')) line += u'\n';
  page.owner()->AppendLog(line, false);
}

}  // namespace trailerdialog
