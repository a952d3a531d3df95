// The AES key change dialogs: one 16-byte card key replaced under the old value
// of a key that may change it. One class serves the four members, which differ
// only in the addresses and texts (templates 110 sector keys, 115 card master
// key, 116 Level 3 switch key, 117 card configuration key).
#pragma once

#include <QDialog>
#include <memory>

class CardLevelPage;
class HexBytesCombo;
class PageOwner;
class QComboBox;
class QLabel;
class QPushButton;
class TipAddressCombo;

namespace Ui {
class AesKeyDialog;
}

class AesKeyDialog : public QDialog {
  Q_OBJECT

 public:
  // templateId: 110, 115, 116 or 117. level: the security level of the page that
  // opened it (2 or 3).
  AesKeyDialog(int templateId, PageOwner& owner, int level, QWidget* parent = nullptr);
  ~AesKeyDialog() override;

  int templateId() const { return templateId_; }
  // The change button: checks the fields, then activates, authenticates and
  // writes the new key, and shows the outcome.
  void Change();

  TipAddressCombo* addressBox() const;
  HexBytesCombo* masterKeyBox() const;
  HexBytesCombo* authKeyBox() const;
  HexBytesCombo* newKeyBox() const;
  QComboBox* authChoiceBox() const;
  QPushButton* changeButton() const;
  QLabel* resultLabel() const;
  QLabel* infoLabel() const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void SetTexts();

  const int templateId_;
  PageOwner& owner_;
  const int level_;
  std::unique_ptr<Ui::AesKeyDialog> ui_;
};

// Runs the dialog of `templateId` modally for the page's menu command.
void RunAesKeyDialog(int templateId, CardLevelPage& page);
