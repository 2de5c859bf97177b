// Every window of the tray tool laid out on the screen it meets: each control inside its window,
// none covering another, and every caption wholly visible. The same tests run at the normal scale
// and on a screen of twice the density, and save screenshots
// named after the scale to the build folder's screenshots/. The screens are described to the
// offscreen platform by tests/app/screen-*.json.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QScreen>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include "ClaimsFixture.h"
#include "app/Screenshots.h"
#include "auxfiles/AUX_Files.h"
#include "common/RecordingUserNotice.h"
#include "common/TempTree.h"
#include "env/Dwhpref.h"
#include "env/Pick_User.h"
#include "env/UserPrefs.h"
#include "env/WarehouseFuncs.h"
#include "restore/ClaimSearchForm.h"
#include "support/text/Clock.h"
#include "warehouse/WarehouseSession.h"

using namespace wh;

namespace {

std::string Describe(const QWidget* widget)
{
    const QString name = widget->objectName().isEmpty() ? QString::fromLatin1(widget->metaObject()->className())
                                                        : widget->objectName();
    return name.toStdString();
}

// The caption a control must show whole, or empty text for controls without one.
QString Caption(const QWidget* widget)
{
    if (const auto* label = qobject_cast<const QLabel*>(widget); label && !label->wordWrap()) {
        return label->text();
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
        return button->text();
    }
    return {};
}

// The window's own controls (children of the window or of its group boxes; the inner parts of a
// grid or a date picker are theirs to arrange) lie inside it, siblings do not overlap, and every
// caption fits its control.
void ExpectTidyLayout(QWidget& window)
{
    const QRect inside = window.rect();
    for (QWidget* widget : window.findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(&window) || widget->isWindow()) {
            continue;
        }
        QWidget* parent = widget->parentWidget();
        const bool ownControl
            = parent == &window || QString::fromLatin1(parent->metaObject()->className()) == "QGroupBox";
        if (!ownControl) {
            continue;
        }
        const QRect onWindow(widget->mapTo(&window, QPoint(0, 0)), widget->size());
        EXPECT_TRUE(inside.contains(onWindow)) << Describe(widget) << " reaches outside the window";
        for (QWidget* sibling : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (sibling != widget && sibling->isVisibleTo(&window) && !sibling->isWindow() && widget < sibling) {
                EXPECT_FALSE(widget->geometry().intersects(sibling->geometry()))
                    << Describe(widget) << " covers " << Describe(sibling);
            }
        }
        // Each line of a caption must fit, and all its lines together.
        const QStringList lines
            = Caption(widget).remove(QLatin1Char('&')).remove(QLatin1Char('\r')).split(QLatin1Char('\n'));
        int needed = 0;
        for (const QString& line : lines) {
            needed = std::max(needed, widget->fontMetrics().horizontalAdvance(line));
        }
        EXPECT_GE(widget->contentsRect().width(), needed) << Describe(widget) << " cuts its caption";
        if (!Caption(widget).isEmpty()) {
            EXPECT_GE(widget->contentsRect().height(), widget->fontMetrics().height() * static_cast<int>(lines.size()))
                << Describe(widget) << " cuts the lines of its caption";
        }
    }
}

void SaveScaledScreenshot(QWidget& window, const std::string& name)
{
    const QString scale = QString::number(window.devicePixelRatioF());
    test::SaveScreenshot(window, name + "@" + scale.toStdString() + "x.png");
}

class WindowLayoutTest : public ::testing::Test
{
protected:
    WindowLayoutTest()
        : dataEnv("XDG_DATA_HOME", tree.Path("data"))
        , tmpEnv("TMPDIR", tree.MakeDir("tmp"))
        , layout(fixtures::BuildClaimsDirectory({ .root = tree.Path("root"), .claims = 1 }))
        , programEnv("WHUPLOAD_PROGRAM_DIR", layout.programDir)
        , env(notice, clock, [] {})
        , prefs(env)
        , session(env)
    {
        env.PrepareLocalFolders();
    }

    // Shows the window, checks it and saves its picture.
    void Check(QWidget& window, const std::string& name)
    {
        window.show();
        QApplication::processEvents();
        SCOPED_TRACE(name + " at scale " + std::to_string(window.devicePixelRatioF()));
        ExpectTidyLayout(window);
        if (const QScreen* screen = window.screen()) {
            EXPECT_TRUE(screen->availableGeometry().contains(window.frameGeometry()))
                << name << " does not fit on the screen";
        }
        SaveScaledScreenshot(window, name);
        window.close();
    }

    test::TempTree tree;
    test::ScopedEnv dataEnv;
    test::ScopedEnv tmpEnv;
    fixtures::ClaimsDirLayout layout;
    test::ScopedEnv programEnv;
    test::RecordingUserNotice notice;
    text::FixedClock clock { text::EncodeDateTime({ 2026, 3, 4, 14, 5, 9 }) };
    env::WarehouseEnv env;
    env::UserPrefs prefs;
    warehouse::WarehouseSession session;
};

} // namespace

TEST_F(WindowLayoutTest, EveryWindowFitsItsControlsAndCaptions)
{
    {
        auxfiles::Tfrm_AUXStatus window(env, session, notice);
        window.ShowServerDates({ { 1, "03/04/2011" }, { 8, "12/31/2025" } });
        Check(window, "layout_aux_files");
    }
    {
        restore::Tfrm_ClaimSearch window(env, prefs, session, notice, clock, tree.MakeDir("tmp/Warehouse"));
        Check(window, "layout_claim_search");
    }
    {
        env::Tform_dwhpref window(env, prefs, notice);
        Check(window, "layout_settings");
    }
    {
        env::Tfrm_pick_name window(env, prefs, notice);
        window.FormShow();
        Check(window, "layout_user_picker");
    }
    EXPECT_TRUE(notice.messages.empty()) << notice.messages.front().text;
}
