// The card upgrade dialog and the Level 0 personalization page against the
// simulated card, with renders of both for a person to look at.
#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "accessible_check.h"
#include "core/access_bits.h"
#include "core/card_text.h"
#include "gui/dialogs/upgrade_dialog.h"
#include "ops_fixture.h"

#ifndef QUILLON_TEST_OUTPUT_DIR
#define QUILLON_TEST_OUTPUT_DIR "."
#endif

namespace {

// The window as the dialog's owner, counting activations; activation number
// `failing` fails as if the card had left the field.
class CountingOwner : public PageOwner {
 public:
  CountingOwner(MainWindow& window, int failing) : w_(window), failing_(failing) {}
  int Activate(int force, int* errorOut, QString* info, int* variant) override {
    if (++activations == failing_) {
      if (errorOut != nullptr) *errorOut = 1;
      if (info != nullptr) info->clear();
      return 0;
    }
    return w_.Activate(force, errorOut, info, variant);
  }
  void AppendLog(const QString& text, bool highlight) override { w_.AppendLog(text, highlight); }
  bool IsConnected() const override { return w_.IsConnected(); }
  CardLevelPage* CurrentPage() const override { return w_.CurrentPage(); }
  int SelectedSector() const override { return w_.SelectedSector(); }
  int SelectedKeyType() const override { return w_.SelectedKeyType(); }
  int SelectedReaderType() const override { return w_.SelectedReaderType(); }
  int SelectedCardType() const override { return w_.SelectedCardType(); }
  int Recover(int* errorOut) override { return w_.Recover(errorOut); }
  int AesAuthenticate(int* errorOut) override { return w_.AesAuthenticate(errorOut); }
  TipRenderer* TipWindow() const override { return w_.TipWindow(); }
  QWidget* DialogParent() override { return &w_; }
  int activations = 0;

 private:
  MainWindow& w_;
  int failing_;
};

void SaveRender(QWidget& widget, const QString& name) {
  widget.show();
  QCoreApplication::processEvents();
  const QImage image = widget.grab().toImage();
  const QDir out(QStringLiteral(QUILLON_TEST_OUTPUT_DIR));
  ASSERT_TRUE(out.mkpath(QStringLiteral(".")));
  EXPECT_TRUE(image.save(out.filePath(name)));
  int dark = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) dark += qGray(image.pixel(x, y)) < 80 ? 1 : 0;
  EXPECT_GT(dark, 300) << name.toStdString();  // captions were drawn
}

using Upgrade = OpsTest;

TEST_F(Upgrade, AnsweringNoOrAMalformedKeyChangesNothing) {
  ASSERT_NO_FATAL_FAILURE(OpenWithCardAt(1, 1));
  const int entries = static_cast<int>(Entries().size());
  UpgradeDialog dialog(window());
  EXPECT_FALSE(dialog.upgradeButton()->isDefault());
  EXPECT_FALSE(dialog.upgradeButton()->autoDefault());
  dialog.Upgrade();  // the confirmation is answered No
  ASSERT_EQ(prompts_.shown().size(), 1);
  EXPECT_EQ(prompts_.shown()[0].text, LoadMessage(2280));
  EXPECT_EQ(prompts_.shown()[0].caption, LoadMessage(2285));
  dialog.keyBox()->setEditText(QStringLiteral("FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF F"));
  dialog.Upgrade();
  EXPECT_EQ(prompts_.messages().last(), LoadMessage(2378));
  EXPECT_TRUE(trace_->Requests().empty());
  EXPECT_TRUE(dialog.resultLabel()->text().isEmpty());
  EXPECT_EQ(Entries().size(), entries);
  EXPECT_EQ(ReadCard().level, 1);
}

TEST_F(Upgrade, EnterNeitherUpgradesNorCloses) {
  ASSERT_NO_FATAL_FAILURE(OpenWithCardAt(1, 1));
  UpgradeDialog dialog(window());
  dialog.show();
  dialog.upgradeButton()->setFocus();
  for (QWidget* target :
       {static_cast<QWidget*>(dialog.upgradeButton()), static_cast<QWidget*>(&dialog)}) {
    for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
      QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
      QApplication::sendEvent(target, &press);
    }
  }
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_TRUE(prompts_.shown().isEmpty());
  EXPECT_TRUE(trace_->Requests().empty());
}

TEST_F(Upgrade, SwitchReportsTheCardAsItIsAfterwards) {
  ASSERT_NO_FATAL_FAILURE(OpenWithCardAt(1, 1));
  {
    // The switch to Level 2 succeeds but the card is gone when activated again:
    // the switch still counts, the activation failure is a second line.
    CountingOwner owner(window(), 2);
    UpgradeDialog dialog(owner);
    dialog.confirmBox()->setChecked(false);
    dialog.Upgrade();
    EXPECT_EQ(dialog.resultLabel()->text(),
              LoadMessage(2220) + u'\n' +
                  UiText(QStringLiteral("112.reactivationFailed")).arg(LoadMessage(1)));
    EXPECT_EQ(ReadCard().level, 2);
  }
  {
    // Level 2 cannot switch to Level 2: the failure shows, and the card
    // information comes from one more activation.
    CountingOwner owner(window(), 0);
    UpgradeDialog dialog(owner);
    prompts_.QueueYesNo(true);
    dialog.Upgrade();
    EXPECT_TRUE(dialog.resultLabel()->text().startsWith(LoadMessage(2275) + u'\n'));
    EXPECT_EQ(owner.activations, 2);
    EXPECT_EQ(dialog.cardInfoLabel()->text(), window().cardInfo());
    EXPECT_FALSE(window().cardInfo().isEmpty());

    dialog.levelBox()->setCurrentIndex(1);
    prompts_.QueueYesNo(true);
    dialog.Upgrade();
    EXPECT_EQ(dialog.resultLabel()->text(), LoadMessage(2220));
    ExpectResultsReadAsShown(dialog);
    EXPECT_EQ(ReadCard().level, 3);
    ASSERT_NO_FATAL_FAILURE(SaveRender(dialog, QStringLiteral("upgrade_dialog.png")));
  }
}

TEST_F(Upgrade, MenuOpensTheDialog) {
  Open();
  bool found = false;
  QTimer::singleShot(0, [&found] {
    auto* dialog = qobject_cast<UpgradeDialog*>(QApplication::activeModalWidget());
    found = dialog != nullptr && dialog->levelBox()->count() == 2;
    if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
  });
  window().RunCommand(MainWindow::kCardUpgrade);
  EXPECT_TRUE(found);
}

class LevelZero : public OpsTest {
 protected:
  Level0Page* Page() { return static_cast<Level0Page*>(window().page(0)); }
  void Fill(int row, const QString& address, const QString& data) {
    Page()->row(row).address->setEditText(address);
    Page()->row(row).data->setEditText(data);
  }
};

const QString k5C = QStringLiteral("5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C");

TEST_F(LevelZero, RowsWriteTheirAddressesAndCommitAsksFirst) {
  ASSERT_NO_FATAL_FAILURE(OpenWithCardAt(0, 0));
  Level0Page* p = Page();
  p->commitButton()->click();  // answered No
  EXPECT_TRUE(trace_->Requests().empty());
  EXPECT_EQ(prompts_.shown().last().caption, UiText(QStringLiteral("102.commitCaption")));
  prompts_.QueueYesNo(true);
  p->commitButton()->click();
  EXPECT_TRUE(Entries().last().startsWith(FormatMessage(2310, "").chopped(1)));
  EXPECT_EQ(ReadCard().level, 0);

  p->row(0).write->click();
  const QByteArray data(16, '\x5C');
  EXPECT_EQ(Entries().last(),
            FormatMessage(2115, 0, 0x9000, 1,
                          qUtf8Printable(BlockDataText(
                              reinterpret_cast<const std::uint8_t*>(data.data()), 1))));
  EXPECT_TRUE(Entries().last().contains(QStringLiteral("0x9000")));
  Fill(1, QStringLiteral("0x4001"), k5C);
  p->row(1).write->click();
  EXPECT_EQ(ReadCard().Key(0x9000), data);
  EXPECT_EQ(ReadCard().Key(0x4001), data);
  EXPECT_EQ(ReadCard().Key(0x9001), QByteArray(16, '\xFF'));

  trace_->Clear();
  Fill(2, QStringLiteral("0x9002"), k5C.left(44));
  p->row(2).write->click();
  EXPECT_EQ(prompts_.messages().last(), LoadMessage(2378));
  EXPECT_TRUE(trace_->Requests().empty());
  ASSERT_NO_FATAL_FAILURE(SaveRender(*p, QStringLiteral("level0_page.png")));
}

// What would break the card is refused before anything is sent; what would
// lock the operator out is sent only after a Yes (No is the default answer);
// the same addresses with contents the card understands are written.
TEST_F(LevelZero, WritesThatWouldBreakOrLockTheCardAreRefusedOrAsked) {
  ASSERT_NO_FATAL_FAILURE(OpenWithCardAt(0, 0));
  // A trailer whose row 7 lets no key change keys or access bits again.
  std::uint8_t frozen[3] = {};
  accessbits::Compose({0, 0, 0, 7}, frozen);
  const QString frozenTrailer =
      QStringLiteral("A0 A1 A2 A3 A4 A5 %1 69 B0 B1 B2 B3 B4 B5")
          .arg(QString::fromLatin1(
              QByteArray(reinterpret_cast<const char*>(frozen), 3).toHex(' ').toUpper()));
  const QString proximity = QStringLiteral("00 AA AA 00 0B 00 00 00 00 01 02 00 00 00 00 00");
  enum class Answer { None, No, Yes };
  struct Case {
    QString address;
    QString data;
    QString refusal;       // the whole warning, or empty
    const char* question;  // caption of the Yes/No question, or nullptr
    Answer answer;
  };
  const Case cases[] = {
      {"0x0", k5C, UiText("102.refuseBlock0"), nullptr, Answer::None},
      {"0x07", "A0 A1 A2 A3 A4 A5 FF FF FF 69 B0 B1 B2 B3 B4 B5",
       UiText("102.refuseTrailer").arg(QStringLiteral("0x07")), nullptr, Answer::None},
      {"0x07", "A0 A1 A2 A3 A4 A5 FF 07 80 69 B0 B1 B2 B3 B4 B5", {}, nullptr, Answer::None},
      {"0x0B", frozenTrailer, {}, "113.freezeCaption", Answer::No},
      {"0x0B", frozenTrailer, {}, "113.freezeCaption", Answer::Yes},
      {"0xB000", "00 0A 00 00 00 00 00 00 00 00 00 00 00 00 00 00", UiText("102.refuseMfpConfig"),
       nullptr, Answer::None},
      {"0xB000", "03 87 00 00 00 00 00 00 00 00 00 00 00 00 00 00", {}, nullptr, Answer::None},
      {"0xB003", "00 AB 55 00 0B 00 00 00 00 00 00 00 00 00 00 00", UiText("102.refuseFieldConfig"),
       nullptr, Answer::None},
      {"0xB003", "00 AA 55 00 0B 00 00 00 00 00 00 00 00 00 00 01", UiText("102.refuseFieldConfig"),
       nullptr, Answer::None},
      {"0xB003", "00 AA 55 00 0B 00 00 00 00 01 02 00 00 00 00 00", {}, nullptr, Answer::None},
      {"0xB003", proximity, {}, "120.proximityCaption", Answer::No},
      {"0xB003", proximity, {}, "120.proximityCaption", Answer::Yes},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE((c.address + u' ' + c.data).toStdString());
    const int before = static_cast<int>(prompts_.shown().size());
    trace_->Clear();
    if (c.answer != Answer::None) prompts_.QueueYesNo(c.answer == Answer::Yes);
    Fill(3, c.address, c.data);
    Page()->row(3).write->click();
    const QByteArray bytes = QByteArray::fromHex(c.data.toLatin1());
    const int address = c.address.mid(2).toInt(nullptr, 16);
    const QByteArray stored = address < 0x100 ? ReadCard().Block(address) : ReadCard().Key(address);
    const bool asked = c.question != nullptr;
    ASSERT_EQ(prompts_.shown().size(), before + (c.refusal.isEmpty() && !asked ? 0 : 1));
    if (!c.refusal.isEmpty()) {
      EXPECT_EQ(prompts_.shown().last().text, c.refusal);
    }
    if (asked) {
      EXPECT_EQ(prompts_.shown().last().caption, UiText(QString::fromLatin1(c.question)));
    }
    if (!c.refusal.isEmpty() || c.answer == Answer::No) {
      EXPECT_TRUE(trace_->Requests().empty());
      EXPECT_NE(stored, bytes);
    } else {
      EXPECT_EQ(stored, bytes);
    }
  }
}

TEST_F(LevelZero, WithoutReaderNothingIsSent) {
  WriteIni({{QStringLiteral("DefaultPage"), QStringLiteral("0")}});
  Open().Disconnect();
  trace_->Clear();
  Page()->row(0).write->click();
  EXPECT_EQ(Entries().last(), LoadMessage(1950));
  prompts_.QueueYesNo(true);
  Page()->commitButton()->click();
  EXPECT_EQ(Entries().last(), LoadMessage(1950));
  EXPECT_TRUE(IsRed(Line(1950)));
  EXPECT_TRUE(trace_->Requests().empty());
}

}  // namespace
