// The form: its controls made from the layout, its frame (through the
// window's table: window_x11.cpp, window_wl.cpp) and placement, captions
// and enabled states, its close and the message boxes.
#include <QAbstractButton>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/platform.h"
#include "platform/qt/qt_backend.h"
#include "platform/qt/qt_internal.h"

namespace platform {

namespace {

class FormWidget : public QWidget {
public:
    std::function<void()> onClose;

protected:
    void closeEvent(QCloseEvent* e) override {
        if (onClose) onClose();
        e->accept();
    }
};

struct FormState {
    FormWidget* form = nullptr;
    QWidget* controls[4] = {};
    QFont font;
    std::function<void()> onCommand1;
    bool quit = false;
    // The frame counted around the client area: promised before the first
    // show, measured once mapped.
    qt::FrameExtents frame;
    bool frameAsked = false;
    // Where the game wants the frame's top-left corner, in device pixels
    // relative to the primary screen.
    std::optional<int> wantX, wantY;
};

FormState ui;

int Index(Control c) { return static_cast<int>(c); }

// The frame as it stands: measured on a mapped window, else what was
// promised (asked once), else none.
qt::FrameExtents CurrentFrame() {
    if (!ui.form) return {};
    if (const std::optional<qt::FrameExtents> measured = qt::TheWindow().measure()) {
        ui.frame = *measured;
        ui.frameAsked = true;
    } else if (!ui.frameAsked) {
        ui.frameAsked = true;
        ui.frame = qt::TheWindow().promise();
    }
    return ui.frame;
}

// Puts the client area where the frame's top-left corner lands on the
// wanted point; the window manager adds the frame around it (Qt asks for
// static gravity).
void PlaceForm() {
    if (!ui.form) return;
    const qt::FrameExtents f = CurrentFrame();
    const QPoint origin = qt::ScreenOrigin();
    const QRect now = ui.form->geometry();
    const int x = ui.wantX ? origin.x() + *ui.wantX + f.left : now.x();
    const int y = ui.wantY ? origin.y() + *ui.wantY + f.top : now.y();
    ui.form->setGeometry(QRect(QPoint(x, y), ui.form->size()));
}

// A caption's '&' is text, not a shortcut mark.
void Escape(QString& text) { text.replace(QLatin1Char('&'), QStringLiteral("&&")); }

// Qt takes the first of these faces that is installed when the text is
// first drawn, after the window maps; asking the font database which are
// installed would load every font on the system before the map.
QFont ChooseFont(const FormLayout& layout) {
    QStringList faces;
    const auto add = [&](const char* face) {
        if (face && *face) faces << QString::fromUtf8(face);
    };
    add(layout.fontFace);
    for (std::size_t i = 0; i < layout.fallbackCount; ++i) add(layout.fallbackFaces[i]);
    // None of them installed: fontconfig substitutes for the first.
    QFont font;
    font.setFamilies(faces);
    font.setPointSize(layout.fontPoints);
    font.setWeight(layout.fontWeight >= 700 ? QFont::Bold : QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

void FocusButton() {
    QWidget* button = ui.controls[Index(Control::Command1)];
    if (button && button->isEnabled()) button->setFocus(Qt::OtherFocusReason);
}

// One control of the layout, a child of the form.
QWidget* MakeControl(const ControlLayout* c, QWidget* form) {
    QWidget* w = nullptr;
    QString caption = QString::fromUtf8(c->caption);
    if (c->kind == ControlKind::PushButton) {
        Escape(caption);
        auto* button = new QPushButton(caption, form);
        // Outside a dialog Qt only clicks on Space; Enter and Return
        // press the start button too.
        button->setAutoDefault(true);
        button->setFocusPolicy(Qt::StrongFocus);
        if (c->id == Control::Command1) {
            QObject::connect(button, &QPushButton::clicked, [] {
                if (!ui.quit && ui.onCommand1) ui.onCommand1();
            });
        }
        w = button;
    } else {
        auto* label = new QLabel(caption, form);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        w = label;
    }
    // Children are clipped by the client area, as laid out (the
    // button's lowest row falls outside it).
    w->setGeometry(qt::PixelsX(c->left), qt::PixelsY(c->top), qt::PixelsX(c->width), qt::PixelsY(c->height));
    return w;
}

}  // namespace

bool QuitRequested() { return ui.quit; }

// ---- screen and window ---------------------------------------------------

WindowSize GetWindowSize(Control window) {
    WindowSize size;
    QWidget* w = ui.controls[Index(window)];
    if (!w) return size;
    qt::FrameExtents f;
    if (window == Control::Form1) f = CurrentFrame();
    size.widthTwips = (w->width() + f.left + f.right) * qt::TwipsPerPixelX();
    size.heightTwips = (w->height() + f.top + f.bottom) * qt::TwipsPerPixelY();
    return size;
}

void SetWindowTop(Control window, float twips) {
    if (window == Control::Form1) {
        ui.wantY = qt::PixelsY(twips);
        PlaceForm();
    } else if (QWidget* w = ui.controls[Index(window)]) {
        w->move(w->x(), qt::PixelsY(twips));
    }
}

void SetWindowLeft(Control window, float twips) {
    if (window == Control::Form1) {
        ui.wantX = qt::PixelsX(twips);
        PlaceForm();
    } else if (QWidget* w = ui.controls[Index(window)]) {
        w->move(qt::PixelsX(twips), w->y());
    }
}

void SetCaption(Control c, std::string_view utf8) {
    QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
    QWidget* w = ui.controls[Index(c)];
    if (!w) return;
    // The count-in writes the same number on every pass: nothing changes.
    if (c == Control::Form1) {
        if (w->windowTitle() == text) return;
        w->setWindowTitle(text);
    } else if (auto* button = qobject_cast<QPushButton*>(w)) {
        Escape(text);
        if (button->text() == text) return;
        button->setText(text);
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
        if (label->text() == text) return;
        label->setText(text);
    }
    qt::ThePointer().formChanged();
}

void SetEnabled(Control c, bool enabled) {
    QWidget* w = ui.controls[Index(c)];
    if (!w) return;
    w->setEnabled(enabled);
    // A disabled button loses the focus; give it back so Space works again.
    if (enabled && c == Control::Command1 && ui.form && !ui.form->focusWidget()) FocusButton();
    qt::ThePointer().formChanged();
}

void CreateForm(const FormLayout& layout, std::function<void()> onCommand1) {
    ui.onCommand1 = std::move(onCommand1);
    auto* form = new FormWidget;
    form->onClose = qt::Closed;
    ui.form = form;
    ui.controls[Index(Control::Form1)] = form;
    form->setWindowTitle(QString::fromUtf8(layout.caption));
    ui.font = ChooseFont(layout);
    form->setFont(ui.font);
    // The layout fixes the client area; the frame is the window manager's.
    form->setFixedSize(qt::PixelsX(layout.clientWidth), qt::PixelsY(layout.clientHeight));

    std::vector<const ControlLayout*> order;
    for (std::size_t i = 0; i < layout.controlCount; ++i) order.push_back(&layout.controls[i]);
    std::stable_sort(order.begin(), order.end(),
                     [](const ControlLayout* a, const ControlLayout* b) { return a->tabIndex < b->tabIndex; });
    QWidget* previous = nullptr;
    for (const ControlLayout* c : order) {
        QWidget* w = MakeControl(c, form);
        ui.controls[Index(c->id)] = w;
        if (w->focusPolicy() != Qt::NoFocus) {
            if (previous) QWidget::setTabOrder(previous, w);
            previous = w;
        }
    }
    FocusButton();
    // The native window exists from now on, so its frame can be asked for.
    form->winId();
}

void ShowForm() {
    if (!ui.form) return;
    ui.form->show();
    ui.form->raise();
    ui.form->activateWindow();
    // Wait (briefly) for the window to map and be framed; if the frame is
    // not the one promised, put the frame where the game asked.
    const qt::WindowOps& window = qt::TheWindow();
    window.showing();
    const qt::FrameExtents promised = ui.frame;
    const uint32_t t0 = timeGetTime();
    while (timeGetTime() - t0 < 2000u) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (window.shown()) break;
        Sleep(2);
    }
    if (CurrentFrame() != promised && (ui.wantX || ui.wantY)) PlaceForm();
    FocusButton();
}

void ShowMessageBox(std::string_view prompt, const char* title) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(title ? title : kApplicationTitle),
                    QString::fromUtf8(prompt.data(), static_cast<qsizetype>(prompt.size())), QMessageBox::Ok,
                    ui.form);
    box.setTextFormat(Qt::PlainText);
    // Plain OK, as the game's boxes have no pictures at all.
    if (QAbstractButton* ok = box.button(QMessageBox::Ok)) ok->setIcon(QIcon());
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

namespace qt {

void Closed() {
    ui.quit = true;
    // Nothing may keep the pointer once the window is gone.
    ThePointer().release();
}

void CloseForm() {
    if (ui.form) ui.form->close();
    Closed();
}

QWidget* Form() { return ui.form; }
std::span<QWidget* const> Controls() { return ui.controls; }

void DeleteForm() {
    for (QWidget*& w : ui.controls) w = nullptr;
    delete ui.form;
    ui.form = nullptr;
}

// ---- for the backend's tests -----------------------------------------------

QWidget* Widget(Control c) { return ui.controls[Index(c)]; }
QFont FormFont() { return ui.font; }
FrameExtents Frame() { return CurrentFrame(); }

}  // namespace qt

}  // namespace platform
