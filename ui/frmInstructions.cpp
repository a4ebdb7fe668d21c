#include "ui/frmInstructions.h"

#include "ui/appinfo.h"
#include "ui/frmMain.h"
#include "ui/infotexts.h"
#include "ui/labelfit.h"
#include "ui_frmInstructions.h"

frmInstructions::frmInstructions(const frmMain &main)
    : QWidget(nullptr)
    , ui(std::make_unique<Ui::frmInstructions>())
{
    ui->setupUi(this);
    setWindowIcon(appinfo::icon());
    setAttribute(Qt::WA_DeleteOnClose);
    Form_Load(main);
}

frmInstructions::~frmInstructions() = default;

void frmInstructions::Form_Load(const frmMain &main)
{
    // Both windows are equally wide, so one main-window width to the left puts
    // the instructions right beside it, level with its top.
    const QRect mainFrame = main.frameGeometry();
    move(mainFrame.left() - mainFrame.width(), mainFrame.top());
    setWindowTitle(appinfo::title() + QStringLiteral(" Instructions"));
    m_text = infotexts::joinLines(infotexts::instructionLines());
    ui->txtText1->setPlainText(m_text);
    shrinkFontToFit(ui->txtText1);
}
