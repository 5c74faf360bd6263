// Resource and control ids of the Windows program.
#pragma once

#define IDD_MAIN_DIALOG 102
#define IDR_MAINFRAME 128
#define IDC_FILE_NAME 1000
#define IDC_START 1001
#define IDC_PROGRESS 1002

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// The station window (station.rc, station_dialog.rc).
#define IDD_STATION 200
#define IDC_STATION_HEADER 2000
#define IDC_STATION_TOTALS 2001
#define IDC_STATION_TILES 2002
#define IDC_STATION_STATE 2003
