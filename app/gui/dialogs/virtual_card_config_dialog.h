// The virtual card configuration dialog: presets a card's virtual card IID
// (0xB001, under the card master key) and its selection, ENC and MAC keys
// (0xA000, 0xA080, 0xA081, under the card configuration key), each with one
// run of the shared change sequence.
#pragma once

#include <QDialog>
#include <memory>

class PageOwner;
class QKeyEvent;
class QLabel;
class QPushButton;
class TipHexBytesCombo;

namespace Ui {
class VirtualCardConfigDialog;
}

class VirtualCardConfigDialog : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplate = 121;

  // The four changes, by the id of their button.
  enum Change : int {
    kChangeIid = 1000,
    kChangeSelectionKey = 1030,
    kChangeEncKey = 1031,
    kChangeMacKey = 1032,
  };

  VirtualCardConfigDialog(PageOwner& owner, QWidget* parent = nullptr);
  ~VirtualCardConfigDialog() override;

  // Runs one change, as its button does.
  void RunChange(Change change);

  TipHexBytesCombo* masterKeyBox() const;     // 1096
  TipHexBytesCombo* iidBox() const;           // 1045
  TipHexBytesCombo* configKeyBox() const;     // 1086
  TipHexBytesCombo* selectionKeyBox() const;  // 1015
  TipHexBytesCombo* encKeyBox() const;        // 1016
  TipHexBytesCombo* macKeyBox() const;        // 1017
  QPushButton* button(Change change) const;
  QLabel* resultLabel() const;    // 1083
  QLabel* cardInfoLabel() const;  // 1084

 protected:
  // Enter neither closes the dialog nor changes the card.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  PageOwner& owner_;
  std::unique_ptr<Ui::VirtualCardConfigDialog> ui_;
};

// Opens the dialog modally over the owner's window for a card-setting command.
void RunVirtualCardConfigDialog(PageOwner& owner);
