// How to use the updater, opened beside the main window from the Help menu.
#pragma once

#include <QString>
#include <QWidget>

#include <memory>

class frmMain;

namespace Ui {
class frmInstructions;
}

class frmInstructions : public QWidget
{
    Q_OBJECT

public:
    // A top-level window without a Qt parent; it deletes itself when closed.
    explicit frmInstructions(const frmMain &main);
    ~frmInstructions() override;

    // The text exactly as set, with its CR LF line breaks.
    QString text() const { return m_text; }

private:
    void Form_Load(const frmMain &main);

    std::unique_ptr<Ui::frmInstructions> ui;
    QString m_text;
};
