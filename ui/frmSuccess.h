// The completion dialog: announces a finished update and closes itself after
// ten seconds. While it is loaded the main window's bSuccess is true.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QTimer>

#include <memory>

class frmMain;

namespace Ui {
class frmSuccess;
}

class frmSuccess : public QDialog
{
    Q_OBJECT

public:
    // Shown without a Qt parent; owner is only the window whose bSuccess this
    // dialog reports into. The dialog deletes itself when closed.
    explicit frmSuccess(frmMain &owner);
    ~frmSuccess() override;

    void tmrCountDown_Timer();
    void OKButton_Click();

    int secondsLeft() const { return lSecondsLeft; }
    QString okCaption() const;
    bool timerActive() const { return tmrCountDown.isActive(); }

public slots:
    void done(int result) override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void Form_Load();
    void Form_Unload();

    std::unique_ptr<Ui::frmSuccess> ui;
    QPointer<frmMain> m_owner;
    QTimer tmrCountDown {this};
    qint32 lSecondsLeft = 0;
    bool m_unloaded = false;
};
