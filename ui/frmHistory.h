// The firmware's release history, opened from the Help menu.
#pragma once

#include <QDialog>
#include <QString>

#include <memory>

class frmMain;

namespace Ui {
class frmHistory;
}

class frmHistory : public QDialog
{
    Q_OBJECT

public:
    // A top-level window without a Qt parent; it deletes itself when closed.
    explicit frmHistory(const frmMain &main);
    ~frmHistory() override;

    // The text exactly as set, with its CR LF line breaks.
    QString text() const { return m_text; }

private:
    void Form_Load();

    std::unique_ptr<Ui::frmHistory> ui;
    QString m_text;
};
