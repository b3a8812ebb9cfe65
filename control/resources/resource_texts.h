/* Texts that the control's module carries both in its resources (its resource script includes this
 * file) and in its code: the type names under which the classes are registered, and the property
 * page. Plain C macros, so that the resource compiler reads them too. */
#ifndef TALVENOR_RESOURCE_TEXTS_H
#define TALVENOR_RESOURCE_TEXTS_H

#define TV_TEXT_CONTROL_TYPE_NAME "Caldrix Talvenor ActiveX Module"
#define TV_TEXT_PAGE_TYPE_NAME "ZembrinTalvenor Control Property Page"
#define TV_TEXT_PAGE_CAPTION "General"
#define TV_TEXT_PAGE_TEXT \
  "TODO: Place controls to manipulate properties of ZembrinSDKControl Control on this dialog."
#define TV_PAGE_WIDTH 250
#define TV_PAGE_HEIGHT 62

/* Resource identifiers. */
#define TV_IDS_CONTROL_TYPE_NAME 1
#define TV_IDS_PAGE_TYPE_NAME 2
#define TV_IDS_PAGE_CAPTION 200
#define TV_IDD_PAGE 200
#define TV_IDB_TOOLBOX 1

#endif
