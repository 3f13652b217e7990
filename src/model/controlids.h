#pragma once
// Identifiers of the main window's controls and of its popup menus' commands. The skin names
// each button's artwork after its command (see ButtonImageName in the ui).

namespace qv {

enum ControlId : int {
  kIdHiddenFocus = 1100,
  kIdMinimize = 1101,
  kIdExit = 1102,
  kIdAddFiles = 1103,
  kIdAddFolder = 1104,
  kIdRemove = 1105,
  kIdRemoveAll = 1106,
  kIdPlay = 1107,
  kIdNormalization = 1108,
  kIdConvert1 = 1109,
  kIdOptions = 1110,
  kIdMore = 1111,
  kIdHelp = 1112,
  kIdSourceList = 1113,
  kIdFormatLabel = 1114,
  kIdFormatList = 1115,
  kIdBitrateLabel = 1116,
  kIdBitrateList = 1117,
  kIdDestinationLabel = 1118,
  kIdDestinationList = 1119,
  kIdBrowse = 1120,
  kIdSameFolderOff = 1121,  // visible while "output to same folder" is off; a click turns it on
  kIdSameFolderOn = 1122,
  kIdSkipProblemsOff = 1123,
  kIdSkipProblemsOn = 1124,
  kIdLoudnessOff = 1125,
  kIdLoudnessOn = 1126,
  kIdConvert2 = 1127,
  kIdCancel = 1128,
  kIdStatusLine = 1129,
  kIdNormalizationBadge = 1130,  // says what the next conversion normalizes to, while armed
};

enum MenuId : int {
  kMenuMore = 1200,
  kMenuMoreReadMe = 1202,
  kMenuMoreChangeLog = 1203,
  kMenuMoreDocFolder = 1204,
  kMenuHelp = 1210,
  kMenuHelpUserGuide = 1211,
  kMenuHelpTraining = 1212,
  kMenuHelpDesk = 1213,
  kMenuHelpAbout = 1215,
};

}  // namespace qv
