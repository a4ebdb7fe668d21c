#include "ui/frmHistory.h"

#include "ui/appinfo.h"
#include "ui/infotexts.h"
#include "ui/labelfit.h"
#include "ui_frmHistory.h"

frmHistory::frmHistory(const frmMain &)
    : QDialog(nullptr)
    , ui(std::make_unique<Ui::frmHistory>())
{
    ui->setupUi(this);
    setWindowIcon(appinfo::icon());
    setAttribute(Qt::WA_DeleteOnClose);
    Form_Load();
}

frmHistory::~frmHistory() = default;

void frmHistory::Form_Load()
{
    setWindowTitle(appinfo::title() + QStringLiteral(" Version History"));
    m_text = infotexts::joinLines(infotexts::historyLines());
    ui->txtText1->setPlainText(m_text);
    shrinkFontToFit(ui->txtText1);
}
