#include "ui/frmAbout.h"

#include "ui/appinfo.h"
#include "ui/frmMain.h"
#include "ui/infotexts.h"
#include "ui/labelfit.h"
#include "ui_frmAbout.h"

frmAbout::frmAbout(const frmMain &main)
    : QDialog(nullptr)
    , ui(std::make_unique<Ui::frmAbout>())
{
    ui->setupUi(this);
    setWindowIcon(appinfo::icon());
    setAttribute(Qt::WA_DeleteOnClose);
    connect(ui->OKButton, &QPushButton::clicked, this, &frmAbout::OKButton_Click);
    Form_Load(main);
}

frmAbout::~frmAbout() = default;

void frmAbout::Form_Load(const frmMain &main)
{
    setWindowTitle(QStringLiteral("About ") + main.sTitleVer);
    m_text = infotexts::joinLines(infotexts::aboutLines(main.sVersion));
    ui->lblMessage->setText(m_text);
    shrinkFontToFit(ui->lblMessage);
    // No Qt parent, so nothing centres us on the main window by default.
    move(main.frameGeometry().center() - rect().center());
}

void frmAbout::OKButton_Click()
{
    close();
}
