// The two access-condition tables of the key and access dialogs: the data-block
// table with its three block tabs (1625, radios 1381-1388) and the trailer
// table (radios 1389-1396). A table may show two checked rows at once: the row
// chosen for writing and, greyed, the row the card holds now.
#pragma once

#include <QWidget>
#include <array>

#include "core/access_bits.h"

class QGridLayout;
class QLabel;
class QRadioButton;
class QTabBar;

class AccessTables : public QWidget {
  Q_OBJECT

 public:
  explicit AccessTables(QWidget* parent = nullptr);

  // Tab titles for 4-block sectors ("第0块" ...) or 16-block ones ("第0-4块" ...).
  void SetLargeSector(bool large);
  // Heading of the last data column, which differs between the two dialogs.
  void SetDecrementHeading(const QString& text);

  const accessbits::Rows& selectedRows() const { return selected_; }
  const accessbits::Rows& cardRows() const { return card_; }
  // Shows the rows the card holds (checked, text greyed).
  void ShowCardRows(const accessbits::Rows& rows);
  // Forgets them (the sector changed or a new read follows).
  void ClearCardRows();

  QTabBar* tabs() const { return tabs_; }
  QRadioButton* dataRadio(int row) const { return dataRadios_[static_cast<std::size_t>(row)]; }
  QRadioButton* trailerRadio(int row) const {
    return trailerRadios_[static_cast<std::size_t>(row)];
  }
  // Whether the texts of a row are greyed (the card's current row).
  bool DataRowGreyed(int row) const;
  bool TrailerRowGreyed(int row) const;

 signals:
  // The operator chose a row; selectedRows() holds the choice.
  void RowsChosen();

 private:
  void ChooseData(int row);
  void ChooseTrailer(int row);
  void Refresh();

  QTabBar* tabs_ = nullptr;
  QLabel* decrementHeading_ = nullptr;
  std::array<QRadioButton*, 8> dataRadios_{};
  std::array<QRadioButton*, 8> trailerRadios_{};
  std::array<std::array<QLabel*, 4>, 8> dataCells_{};
  std::array<std::array<QLabel*, 6>, 8> trailerCells_{};
  accessbits::Rows selected_{0, 0, 0, 4};
  accessbits::Rows card_{accessbits::kUnknownRow, accessbits::kUnknownRow, accessbits::kUnknownRow,
                         accessbits::kUnknownRow};
  // No trailer row shows as chosen until the operator picks one.
  bool trailerChosen_ = false;
};

class QComboBox;
class CardLevelPage;

// What the two trailer dialogs share around the tables.
namespace trailerdialog {
// "0x00" upward, 16 sectors for card type 0, else 40; selects `initial` when offered.
void FillSectors(QComboBox* box, int cardType, int initial);
// "A 密钥", "B 密钥".
void FillKeyTypes(QComboBox* box);
// A UiText of the shared "113." names.
QString Text(const char* name);
// "<message>:<status text>" as the dialogs show a failed step.
QString StepFailure(const QString& step, int code);
// Writes a dialog's failure text to the owner's information window, once, with
// a line end.
void Log(CardLevelPage& page, const QString& text);
}  // namespace trailerdialog
