// The skinned pieces of the main window: button artwork, painted labels, the fixed-DPI layout
// and the anchor list.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>
#include <QWidget>

#include "model/controlids.h"
#include "model/dialogtemplate.h"
#include "ui/cbitmapbutton.h"
#include "ui/ccustomstatic.h"
#include "ui/controlanchorlist.h"
#include "ui/cpropertiesbitmap.h"
#include "ui/dialogfontlayout.h"
#include "ui/skinartwork.h"

namespace qv {
namespace {

struct Expected {
  const char* name;
  int width, height;
};
constexpr Expected kSizes[] = {
    {"BITMAP_MINIMIZE", 25, 22},           {"BITMAP_EXIT", 25, 22},
    {"BITMAP_ADDFILES", 63, 52},           {"BITMAP_ADDFOLDER", 63, 52},
    {"BITMAP_REMOVE", 63, 52},             {"BITMAP_REMOVEALL", 63, 52},
    {"BITMAP_PLAY", 63, 52},               {"BITMAP_NORMALIZATION", 84, 52},
    {"BITMAP_CONVERT1", 63, 52},           {"BITMAP_OPTIONS", 63, 52},
    {"BITMAP_MORE", 63, 52},               {"BITMAP_HELP", 63, 52},
    {"BITMAP_BROWSE", 71, 24},             {"BITMAP_OUTPUTTOSAMEFOLDER1", 175, 14},
    {"BITMAP_OUTPUTTOSAMEFOLDER2", 175, 14}, {"BITMAP_SKIPPROBLEMFILES1", 185, 14},
    {"BITMAP_SKIPPROBLEMFILES2", 185, 14},  {"BITMAP_CALCULATELOUDNESS1", 175, 14},
    {"BITMAP_CALCULATELOUDNESS2", 175, 14}, {"BITMAP_CONVERT2", 62, 62},
    {"BITMAP_CANCEL", 57, 17},
};

TEST(SkinArtwork, EveryButtonHasFourDistinctImagesOfItsSize) {
  for (const Expected& e : kSizes) {
    SCOPED_TRACE(e.name);
    const QString name = QString::fromLatin1(e.name);
    EXPECT_FALSE(ButtonCaption(name).isEmpty());
    QImage images[4];
    for (int s = 0; s < 4; ++s) {
      images[s] = RenderButtonImage(name, static_cast<ButtonImageState>(s));
      ASSERT_FALSE(images[s].isNull());
      EXPECT_EQ(images[s].size(), QSize(e.width, e.height));
    }
    for (int a = 0; a < 4; ++a)
      for (int b = a + 1; b < 4; ++b) EXPECT_NE(images[a], images[b]) << a << " vs " << b;
  }
  // The two images of a toggle tell off from on.
  EXPECT_NE(RenderButtonImage(QStringLiteral("BITMAP_SKIPPROBLEMFILES1"), ButtonImageState::Up),
            RenderButtonImage(QStringLiteral("BITMAP_SKIPPROBLEMFILES2"), ButtonImageState::Up));
  EXPECT_TRUE(RenderButtonImage(QStringLiteral("BITMAP_NOPE"), ButtonImageState::Up).isNull());
  EXPECT_FALSE(ButtonImageSize(QStringLiteral("BITMAP_NOPE")).isValid());
}

TEST(SkinArtwork, BackgroundImages) {
  CPropertiesBitmap header;
  CPropertiesBitmap footer;
  ASSERT_TRUE(header.Load(kHeaderImageId));
  ASSERT_TRUE(footer.Load(kFooterImageId));
  EXPECT_EQ(QSize(header.Width(), header.Height()), QSize(857, 81));
  EXPECT_EQ(QSize(footer.Width(), footer.Height()), QSize(857, 97));
  EXPECT_FALSE(footer.Load(1234));
  EXPECT_EQ(footer.Height(), 97);
}

TEST(CBitmapButton, TakesItsImageSizeAndShowsTheStateImage) {
  QWidget parent;
  CBitmapButton button(&parent);
  button.setGeometry(0, 0, 26, 23);
  ASSERT_TRUE(button.LoadBitmaps(QStringLiteral("BITMAP_PLAY")));
  EXPECT_EQ(button.size(), QSize(63, 52));
  EXPECT_EQ(button.toolTip(), QStringLiteral("Play"));
  EXPECT_EQ(button.CurrentState(), ButtonImageState::Up);
  button.setDown(true);
  EXPECT_EQ(button.CurrentState(), ButtonImageState::Down);
  button.setDown(false);
  button.setEnabled(false);
  EXPECT_EQ(button.CurrentState(), ButtonImageState::Disabled);
  EXPECT_FALSE(button.LoadBitmaps(QStringLiteral("BITMAP_UNKNOWN")));
  EXPECT_EQ(button.BaseName(), QStringLiteral("BITMAP_PLAY"));
}

TEST(CCustomStatic, AlignmentPlacesTheText) {
  QWidget parent;
  CCustomStatic right(Qt::black, Qt::blue, true, {}, 0, CCustomStatic::kRight, &parent);
  right.setGeometry(0, 0, 100, 13);
  right.SetText(QStringLiteral("Bitrate:"));
  EXPECT_GT(right.TextX(), 0);
  EXPECT_LT(right.TextX(), 100);
  CCustomStatic centre(Qt::black, Qt::blue, true, {}, 0, CCustomStatic::kCentre, &parent);
  centre.setGeometry(0, 0, 100, 13);
  centre.SetText(QStringLiteral("Bitrate:"));
  EXPECT_NEAR(centre.TextX(), right.TextX() / 2, 1);
  CCustomStatic left(Qt::black, Qt::blue, true, {}, 0, CCustomStatic::kLeft, &parent);
  left.SetText(QStringLiteral("Ready"));
  EXPECT_EQ(left.TextX(), 0);
  // A right-aligned text far wider than the label starts left of it (and is clipped).
  right.SetText(QStringLiteral("A text that is far too long for a label of a hundred pixels"));
  EXPECT_LT(right.TextX(), 0);
  // Labels of the window fit their boxes at the window's sizes.
  right.setGeometry(0, 0, 77, 13);
  right.SetText(QStringLiteral("Save to Folder:"));
  EXPECT_GE(right.TextX(), 0);
  // Without a face the size is not used: the skin's 11-pixel font.
  CCustomStatic noFace(Qt::black, Qt::blue, true, {}, 20, CCustomStatic::kLeft, &parent);
  EXPECT_EQ(noFace.font().pixelSize(), 11);
  CCustomStatic withFace(Qt::black, Qt::blue, true, QStringLiteral("DejaVu Sans"), 20,
                         CCustomStatic::kLeft, &parent);
  EXPECT_EQ(withFace.font().pixelSize(), 20);
}

TEST(ControlAnchorList, MovesByGrowthTimesFactorsAndHoldsEighty) {
  QWidget parent;
  QWidget a(&parent);
  QWidget b(&parent);
  a.setGeometry(10, 300, 50, 20);
  b.setGeometry(20, 310, 50, 20);
  ControlAnchorList anchors;
  ASSERT_TRUE(anchors.Register(&a, 1.0f, 1.0f));
  ASSERT_TRUE(anchors.Register(&b, 0.5f, 0.5f));
  anchors.Move(0, 101);
  EXPECT_EQ(a.pos(), QPoint(10, 401));
  EXPECT_EQ(b.pos(), QPoint(20, 360));  // 50.5 truncated
  EXPECT_EQ(b.size(), QSize(50, 20));
  anchors.Move(0, 0);  // back to the registered places, not relative to the last move
  EXPECT_EQ(a.pos(), QPoint(10, 300));
  for (int i = anchors.Count(); i < ControlAnchorList::kMaxControls; ++i)
    EXPECT_TRUE(anchors.Register(&a, 1.0f, 1.0f));
  EXPECT_FALSE(anchors.Register(&b, 1.0f, 1.0f));
}

TEST(DialogFontLayout, FixedPixelGeometryFromTheTemplate) {
  EXPECT_EQ(FontPixelHeight(8, 96.0), 11);
  const BaseUnits units;
  const PixelRect client = ClientPixelRect(MainWindowTemplate(), units);
  EXPECT_EQ(client.width, 857);
  EXPECT_EQ(client.height, 393);

  QWidget window;
  std::map<int, QWidget*> controls;
  for (const TemplateItem& item : MainWindowTemplate().items) {
    controls[item.id] = item.kind == TemplateItemKind::ComboBox ? new QComboBox(&window)
                                                                : new QWidget(&window);
  }
  DialogFontLayout layout;
  ASSERT_TRUE(layout.Apply(&window, MainWindowTemplate(), 96.0,
                           [&](int id) { return controls.count(id) ? controls[id] : nullptr; }));
  EXPECT_EQ(window.size(), QSize(857, 393));
  EXPECT_EQ(layout.Font().pixelSize(), 11);
  EXPECT_EQ(controls[kIdSourceList]->geometry(), QRect(3, 83, 851, 210));
  EXPECT_EQ(controls[kIdAddFiles]->pos(), QPoint(8, 28));
  EXPECT_EQ(controls[kIdConvert2]->pos(), QPoint(788, 299));
  // The status line reaches the normalization note, which ends before Cancel.
  EXPECT_EQ(controls[kIdStatusLine]->geometry(), QRect(11, 372, 534, 13));
  EXPECT_EQ(controls[kIdNormalizationBadge]->geometry(), QRect(555, 372, 230, 13));
  // A combo box keeps its own height; the template's height is its dropped-down list.
  EXPECT_LT(controls[kIdFormatList]->height(), 40);
  EXPECT_EQ(controls[kIdFormatList]->width(), 257);

  // A missing control stops the layout there.
  QWidget other;
  auto* first = new QWidget(&other);
  DialogFontLayout partial;
  EXPECT_FALSE(partial.Apply(&other, MainWindowTemplate(), 96.0, [&](int id) {
    return id == kIdMinimize ? first : nullptr;
  }));
  EXPECT_EQ(first->pos(), QPoint(800, 3));
}

}  // namespace
}  // namespace qv
