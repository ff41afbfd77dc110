// Resource identifiers of Vexa.dll.
#pragma once

#define IDR_VEXAPLUGIN              101
#define IDR_VEXAPLUGINPROPERTYPAGE  102
#define IDI_CONTENT                 105
#define IDI_PLUGIN                  106
#define IDD_VEXAPLUGINPROPERTYPAGE  107
#define IDC_NEW_URL                 110
#define IDS_TITLE                   113
#define IDS_ABOUT                   114
#define IDS_DEFAULT_DEST            115
#define IDS_PAGE_TITLE              117
#define IDC_ADD                     131
#define IDC_DEST_LIST               132
#define IDC_REMOVE                  133
#define IDC_FEED_HEALTH             140
#define IDC_IMPORT                  141
#define IDC_EXPORT                  142
