// The about box: program version and the maker's address.
#pragma once

#include <QDialog>
#include <QString>

#include <memory>

class frmMain;

namespace Ui {
class frmAbout;
}

class frmAbout : public QDialog
{
    Q_OBJECT

public:
    // A top-level window without a Qt parent; it deletes itself when closed.
    explicit frmAbout(const frmMain &main);
    ~frmAbout() override;

    void OKButton_Click();

    // The about text exactly as set, with its CR LF line breaks.
    QString text() const { return m_text; }

private:
    void Form_Load(const frmMain &main);

    std::unique_ptr<Ui::frmAbout> ui;
    QString m_text;
};
