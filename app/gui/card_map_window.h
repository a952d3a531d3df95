// The card map (tools menu, 32829; opened after "read all sectors" too): one row
// per sector, one cell per block coloured by what the block is, a legend, and the
// trailer of the selected sector decoded. It shows a dump (the last read's, or a
// dump file the operator opens) and never talks to the card itself.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>
#include <memory>
#include <vector>

#include "cardtools/files.h"
#include "core/card_map.h"

class CommandHost;
class QLabel;
class QTableWidget;
class QTableWidgetItem;

namespace Ui {
class CardMapWindow;
}

class CardMapWindow : public QWidget {
  Q_OBJECT

 public:
  explicit CardMapWindow(QWidget* parent = nullptr);
  ~CardMapWindow() override;

  // Shows `dump`; `source` says where it came from (a file path, or the read).
  void ShowDump(const cardtools::Dump& dump, const QString& source);
  // Asks for a dump file and shows it; a file that cannot be used is named in a
  // message box and the map stays as it was.
  void OpenDumpFile();
  // Selects a sector's row and shows its trailer.
  void SelectSector(int sector);
  int selectedSector() const { return selectedSector_; }
  // What happened to the last double-clicked block, for the operator.
  void ShowChoice(const QString& text);

  bool hasDump() const { return hasDump_; }
  const std::vector<cardmap::SectorRow>& rows() const { return rows_; }
  QTableWidget* table() const;
  QLabel* trailerLabel() const;
  // The cell of a sector's block, or nullptr.
  QTableWidgetItem* cell(int sector, int blockInSector) const;

 signals:
  // The operator double-clicked a block (or pressed Enter on it).
  void BlockChosen(int sector, int blockInSector);

 private:
  void ApplyTexts();
  void Fill();
  void ShowTrailer();
  void Choose(int row, int column);
  void SetLabelText(QLabel* label, const QString& text);

  std::unique_ptr<Ui::CardMapWindow> ui_;
  cardtools::Dump dump_;
  QString source_;
  bool hasDump_ = false;
  std::vector<cardmap::SectorRow> rows_;
  int selectedSector_ = -1;
};

// The colour of a kind of block, shared by the cells and the legend.
QColor CardMapColour(cardmap::BlockKind kind);

// Registers the menu command that opens the map.
void RegisterCardMap();
// The map window of the main window behind `host`, created on first use and
// wired to its sector and block boxes.
CardMapWindow& CardMapOf(CommandHost& host);
// Shows the dump that "read all sectors" produced.
void ShowCardMapAfterRead(CommandHost& host, const cardtools::Dump& dump);
