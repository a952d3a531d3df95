// The virtual card dialog: a modeless window of the Level 3 page that runs the
// four virtual card commands by hand (support check, get UID, select,
// deselect). It keeps its fields and the last cryptogram while hidden, so a
// select after showing it again still uses the UID fetch of before.
#pragma once

#include <QDialog>
#include <array>
#include <cstdint>
#include <memory>

class Level3Page;
class QCloseEvent;
class QComboBox;
class QKeyEvent;
class QShowEvent;
class QLabel;
class QPushButton;
class TipHexBytesCombo;

namespace Ui {
class VirtualCardDialog;
}

class VirtualCardDialog : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplate = 111;

  // The four commands, by the id of their button.
  enum Command : int {
    kSupport = 1076,
    kGetUid = 1032,
    kSelect = 1030,
    kDeselect = 1031,
  };

  // Created hidden by the page; reaches the card through the page's owner.
  explicit VirtualCardDialog(Level3Page& page);
  ~VirtualCardDialog() override;

  // Runs one command, as its button does.
  void Run(Command command);

  // The cryptogram of the last successful UID fetch; zero at first and after
  // a failed support check.
  const std::array<std::uint8_t, 16>& cryptogram() const { return cryptogram_; }

  TipHexBytesCombo* iidBox() const;     // 1045
  TipHexBytesCombo* encKeyBox() const;  // 1046
  TipHexBytesCombo* macKeyBox() const;  // 1047
  QPushButton* button(Command command) const;
  QLabel* resultLabel() const;    // 1083
  QLabel* cardInfoLabel() const;  // 1084

  // Escape hides the window the way its close box does.
  void reject() override;

 protected:
  // The close box hides the window through the page; nothing is destroyed.
  void closeEvent(QCloseEvent* event) override;
  // Enter neither closes the window nor sends anything to the card.
  void keyPressEvent(QKeyEvent* event) override;
  // Stays above the main window while shown.
  void showEvent(QShowEvent* event) override;

 private:
  void Support();
  void GetUid();
  void Select();
  void Deselect();
  // False, with the reason in 1083, when there is no reader or the card does
  // not activate (with RATS and PPS).
  bool Ready(bool activate);
  // Reads the 16-byte fields; false after the wrong-length box.
  bool ReadField(TipHexBytesCombo* box, std::uint8_t* out);
  void ShowResult(int status, int successMessage, int failureMessage);

  Level3Page& page_;
  std::unique_ptr<Ui::VirtualCardDialog> ui_;
  std::array<std::uint8_t, 16> cryptogram_{};
};

// The IID list of the virtual card fields: the three numbered IIDs and the one
// ending in eight 0xFF bytes, the first selected.
void FillIidList(QComboBox* box);

// Lets every Level 3 page created from now on own a virtual card dialog.
void InstallVirtualCardDialog();
