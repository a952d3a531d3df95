// The MFP configuration block dialog: builds the 16-byte block at 0xB000 (how
// many blocks may be read without MAC, which block groups may be read in plain)
// and writes it under the card master key.
#pragma once

#include <QDialog>
#include <memory>

class CardLevelPage;
class HexBytesCombo;
class HexEdit;
class PageOwner;
class QCheckBox;
class QLabel;
class QPushButton;

namespace Ui {
class MfpConfigDialog;
}

class MfpConfigDialog : public QDialog {
  Q_OBJECT

 public:
  explicit MfpConfigDialog(PageOwner& owner, QWidget* parent = nullptr);
  ~MfpConfigDialog() override;

  // The change button: checks the fields, then activates, authenticates with
  // the master key and writes the block, and shows the outcome.
  void Change();

  HexBytesCombo* masterKeyBox() const;
  // Plain-read flag of block group 0..3 (check boxes 1059 to 1062).
  QCheckBox* plainReadBox(int group) const;
  HexEdit* countEdit() const;
  QPushButton* changeButton() const;
  QLabel* resultLabel() const;
  QLabel* infoLabel() const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  PageOwner& owner_;
  std::unique_ptr<Ui::MfpConfigDialog> ui_;
};

void RunMfpConfigDialog(CardLevelPage& page);
