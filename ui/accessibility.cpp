#include "ui/accessibility.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>

#include <algorithm>
#include <cmath>

namespace {

// Qt names a combo box after its current entry on Linux and leaves its label
// to a relation; a screen reader then says "9600" where it should say
// "Baudrate". This one keeps the rest of what Qt offers: the list and the
// edit field as children, the current entry as the value, opening the list.
class NamedComboBox : public QAccessibleWidget
{
public:
    explicit NamedComboBox(QComboBox *box)
        : QAccessibleWidget(box, QAccessible::ComboBox)
    { }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return current();
        const QString text = QAccessibleWidget::text(t); // the accessible name, else a buddy label's text
        return t == QAccessible::Name && text.isEmpty() ? current() : text;
    }

    int childCount() const override { return box()->lineEdit() ? 2 : 1; }

    QAccessibleInterface *child(int index) const override
    {
        if (index == 0)
            return QAccessible::queryAccessibleInterface(box()->view());
        if (index == 1 && box()->lineEdit())
            return QAccessible::queryAccessibleInterface(box()->lineEdit());
        return nullptr;
    }

    int indexOfChild(const QAccessibleInterface *child) const override
    {
        if (!child)
            return -1;
        if (child->object() == box()->view())
            return 0;
        if (box()->lineEdit() && child->object() == box()->lineEdit())
            return 1;
        return -1;
    }

    QStringList actionNames() const override
    {
        return QStringList {showMenuAction(), pressAction()} + QAccessibleWidget::actionNames();
    }

    void doAction(const QString &name) override
    {
        if (name != showMenuAction() && name != pressAction()) {
            QAccessibleWidget::doAction(name);
        } else if (box()->view()->isVisible()) {
            box()->hidePopup();
        } else {
            box()->showPopup();
        }
    }

private:
    QComboBox *box() const { return static_cast<QComboBox *>(widget()); }
    QString current() const { return box()->lineEdit() ? box()->lineEdit()->text() : box()->currentText(); }
};

// The bar may count on a fine scale of its own for smooth drawing; what a
// listener wants is how far along the work is.
class PercentProgressBar : public QAccessibleWidget, public QAccessibleValueInterface
{
public:
    explicit PercentProgressBar(QProgressBar *bar)
        : QAccessibleWidget(bar, QAccessible::ProgressBar)
    { }

    void *interface_cast(QAccessible::InterfaceType t) override
    {
        if (t == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface *>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    QString text(QAccessible::Text t) const override
    {
        // Whole percents, rounded down as the status line shows them.
        if (t == QAccessible::Value)
            return QString::number(int(std::floor(percent()))) + QLatin1Char('%');
        return QAccessibleWidget::text(t);
    }

    QVariant currentValue() const override { return percent(); }
    void setCurrentValue(const QVariant &) override { } // it shows progress; nobody sets it
    QVariant maximumValue() const override { return 100.0; }
    QVariant minimumValue() const override { return 0.0; }
    QVariant minimumStepSize() const override { return 0.0; }

private:
    double percent() const
    {
        const auto *bar = static_cast<const QProgressBar *>(widget());
        const double span = double(bar->maximum()) - bar->minimum();
        if (span <= 0)
            return 0.0;
        return std::clamp(100.0 * (double(bar->value()) - bar->minimum()) / span, 0.0, 100.0);
    }
};

// A label named for what it is ("Status") would otherwise hide what it
// says ("Programming ...  40%"): Qt offers a label's text only as its name.
class NamedLabel : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit NamedLabel(QLabel *label)
        : QAccessibleWidget(label, QAccessible::StaticText)
    { }

    void *interface_cast(QAccessible::InterfaceType t) override
    {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Value ? shown() : QAccessibleWidget::text(t);
    }

    // Read-only text: no selection, no cursor, no geometry per character.
    QString text(int startOffset, int endOffset) const override
    {
        return shown().mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return int(shown().size()); }
    void selection(int, int *startOffset, int *endOffset) const override { *startOffset = *endOffset = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override { }
    void removeSelection(int) override { }
    void setSelection(int, int, int) override { }
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override { }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint &) const override { return -1; }
    void scrollToSubstring(int, int) override { }
    QString attributes(int offset, int *startOffset, int *endOffset) const override
    {
        *startOffset = *endOffset = offset;
        return {};
    }

private:
    QString shown() const { return static_cast<const QLabel *>(widget())->text(); }
};

QAccessibleInterface *factory(const QString &className, QObject *object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    if (className == QLatin1String("QComboBox"))
        return new NamedComboBox(static_cast<QComboBox *>(object));
    if (className == QLatin1String("QProgressBar"))
        return new PercentProgressBar(static_cast<QProgressBar *>(object));
    if (className == QLatin1String("QLabel")) {
        auto *label = static_cast<QLabel *>(object);
        if (!label->accessibleName().isEmpty() && label->pixmap().isNull())
            return new NamedLabel(label);
    }
    return nullptr;
}

} // namespace

namespace accessibility {

void install()
{
    QAccessible::installFactory(factory); // installing twice keeps one
}

} // namespace accessibility
