#pragma once
#define IDB_LOGO 101
#define IDI_APP 102
#define IDR_LICENSE 103
