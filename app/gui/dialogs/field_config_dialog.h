// The field configuration block dialog: builds the 16-byte block at 0xB003
// (random card identifier, proximity check before sector work, three PICC
// capability bytes) and writes it under the card configuration key.
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
class FieldConfigDialog;
}

class FieldConfigDialog : public QDialog {
  Q_OBJECT

 public:
  explicit FieldConfigDialog(PageOwner& owner, QWidget* parent = nullptr);
  ~FieldConfigDialog() override;

  // The change button: checks the fields, then activates, authenticates with
  // the configuration key and writes the block, and shows the outcome.
  void Change();

  HexBytesCombo* configKeyBox() const;
  QCheckBox* randomIdBox() const;
  QCheckBox* proximityBox() const;
  // PICCCap1.2, PICCCap2.5 and PICCCap2.6 (fields 1125, 1126, 1127): index 0..2.
  HexEdit* capabilityEdit(int index) const;
  QPushButton* changeButton() const;
  QLabel* resultLabel() const;
  QLabel* infoLabel() const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  PageOwner& owner_;
  std::unique_ptr<Ui::FieldConfigDialog> ui_;
};

void RunFieldConfigDialog(CardLevelPage& page);
