// The card upgrade dialog: switches a card to Level 2 or Level 3 by a first
// authentication with the level switch key, after an optional confirmation.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>

class PageOwner;
class QCheckBox;
class QComboBox;
class QKeyEvent;
class QLabel;
class QPushButton;
class TipHexBytesCombo;

namespace Ui {
class UpgradeDialog;
}

class UpgradeDialog : public QDialog {
  Q_OBJECT

 public:
  explicit UpgradeDialog(PageOwner& owner, QWidget* parent = nullptr);
  ~UpgradeDialog() override;

  // Button 1073: parse the key, confirm, activate, switch, activate again.
  void Upgrade();

  QComboBox* levelBox() const;         // 1015, item value = switch key address
  TipHexBytesCombo* keyBox() const;    // 1087
  QCheckBox* confirmBox() const;       // 1092
  QPushButton* upgradeButton() const;  // 1073
  QLabel* resultLabel() const;         // 1083
  QLabel* cardInfoLabel() const;       // 1084

 protected:
  // Enter neither upgrades nor closes: a card switch is one deliberate click.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void ShowOutcome(const QString& result, const QString& cardInfo);

  PageOwner& owner_;
  std::unique_ptr<Ui::UpgradeDialog> ui_;
};

// The dialog's runner for menu command 2165: modal, over the owner's window.
void RunUpgradeDialog(PageOwner& owner);
