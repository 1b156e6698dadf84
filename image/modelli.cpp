#include "image/modelli.h"

#include <array>

namespace bricola {

namespace {

// code, boot, raw, remote, name, primary, secondary, start baud, alternate baud,
// tipoLoad, tipoMicro. Searched linearly from the first row: the order matters.
constexpr SModello kModelli[kNumModelli] = {
    {0x0000, 0, 1, 0, 0, 0x000, 0x000, 38400, 38400, 0, 0},  // 0
    {0x0001, 0, 1, 0, 1, 0x000, 0x000, 38400, 38400, 0, 0},  // 1
    {0x0002, 0, 1, 0, 2, 0x000, 0x000, 38400, 38400, 0, 0},  // 2
    {0x0010, 0, 0, 1, 3, 0x482, 0x485, 38400, 19200, 3, 1},  // 3
    {0x0011, 0, 0, 1, 4, 0x480, 0x485, 38400, 19200, 3, 1},  // 4
    {0x0012, 0, 0, 1, 5, 0x400, 0x402, 38400, 19200, 3, 1},  // 5
    {0x0014, 0, 0, 1, 6, 0x481, 0x485, 38400, 19200, 3, 1},  // 6
    {0x0015, 0, 0, 1, 7, 0x401, 0x402, 38400, 19200, 3, 1},  // 7
    {0x0016, 0, 0, 1, 8, 0x484, 0x485, 38400, 19200, 3, 1},  // 8
    {0x0018, 0, 0, 1, 9, 0x483, 0x485, 38400, 19200, 3, 1},  // 9
    {0x0019, 0, 0, 1, 10, 0x481, 0x485, 38400, 19200, 3, 1},  // 10
    {0x001A, 0, 0, 1, 11, 0x401, 0x402, 38400, 19200, 3, 1},  // 11
    {0x001B, 0, 0, 1, 12, 0x481, 0x485, 38400, 19200, 3, 1},  // 12
    {0x001C, 0, 0, 1, 13, 0x401, 0x402, 38400, 19200, 3, 1},  // 13
    {0x001D, 0, 0, 1, 14, 0x302, 0x485, 38400, 19200, 3, 1},  // 14
    {0x001F, 0, 0, 1, 15, 0x481, 0x485, 38400, 19200, 3, 1},  // 15
    {0x0020, 0, 0, 1, 16, 0x401, 0x402, 38400, 19200, 3, 1},  // 16
    {0x0021, 0, 0, 1, 17, 0x484, 0x485, 38400, 19200, 3, 1},  // 17
    {0x0022, 0, 0, 1, 18, 0x481, 0x485, 38400, 19200, 3, 1},  // 18
    {0x0023, 0, 0, 1, 19, 0x401, 0x402, 38400, 19200, 3, 1},  // 19
    {0x0024, 0, 0, 1, 20, 0x481, 0x485, 38400, 19200, 3, 1},  // 20
    {0x0025, 0, 0, 1, 21, 0x401, 0x402, 38400, 19200, 3, 1},  // 21
    {0x0027, 0, 0, 1, 22, 0x488, 0x490, 38400, 19200, 3, 1},  // 22
    {0x0028, 0, 0, 1, 23, 0x480, 0x485, 38400, 19200, 3, 1},  // 23
    {0x0029, 0, 0, 1, 24, 0x400, 0x402, 38400, 19200, 3, 1},  // 24
    {0x002A, 0, 0, 1, 25, 0x487, 0x485, 38400, 19200, 3, 1},  // 25
    {0x002B, 0, 0, 1, 26, 0x486, 0x485, 38400, 19200, 3, 1},  // 26
    {0x002C, 0, 0, 1, 27, 0x489, 0x485, 38400, 19200, 3, 1},  // 27
    {0x002D, 0, 0, 1, 28, 0x403, 0x402, 38400, 19200, 3, 1},  // 28
    {0x002E, 0, 0, 1, 29, 0x48A, 0x485, 38400, 19200, 3, 1},  // 29
    {0x002F, 0, 0, 1, 30, 0x404, 0x402, 38400, 19200, 3, 1},  // 30
    {0x0080, 0, 0, 1, 31, 0x481, 0x485, 38400, 19200, 3, 1},  // 31
    {0x0081, 0, 0, 1, 32, 0x401, 0x402, 38400, 19200, 3, 1},  // 32
    {0x0082, 0, 0, 1, 33, 0x48B, 0x485, 38400, 38400, 7, 4},  // 33
    {0x0083, 0, 0, 1, 34, 0x48C, 0x485, 38400, 19200, 3, 1},  // 34
    {0x0084, 0, 0, 1, 35, 0x405, 0x402, 38400, 19200, 3, 1},  // 35
    {0x0085, 0, 0, 1, 36, 0x48D, 0x490, 38400, 38400, 7, 4},  // 36
    {0x0086, 0, 0, 1, 37, 0x48A, 0x485, 38400, 19200, 3, 1},  // 37
    {0x0087, 0, 0, 1, 38, 0x404, 0x402, 38400, 19200, 3, 1},  // 38
    {0x0088, 0, 0, 1, 39, 0x48C, 0x485, 38400, 19200, 3, 1},  // 39
    {0x0089, 0, 0, 1, 40, 0x405, 0x402, 38400, 19200, 3, 1},  // 40
    {0x0094, 0, 0, 1, 41, 0x489, 0x485, 38400, 19200, 3, 1},  // 41
    {0x0095, 0, 0, 1, 42, 0x403, 0x402, 38400, 19200, 3, 1},  // 42
    {0x1000, 0, 0, 1, 43, 0x600, 0x485, 38400, 19200, 3, 1},  // 43
    {0x008A, 0, 0, 1, 44, 0x48E, 0x491, 38400, 38400, 7, 4},  // 44
    {0x008C, 0, 0, 1, 45, 0x48F, 0x485, 38400, 38400, 7, 4},  // 45
    {0x008B, 0, 0, 1, 46, 0x406, 0x402, 38400, 38400, 7, 4},  // 46
    {0x008D, 0, 0, 1, 47, 0x492, 0x491, 38400, 38400, 7, 4},  // 47
    {0x008E, 0, 0, 1, 48, 0x407, 0x409, 38400, 38400, 7, 4},  // 48
    {0x008F, 0, 0, 1, 49, 0x493, 0x491, 38400, 38400, 7, 4},  // 49
    {0x0090, 0, 0, 1, 50, 0x408, 0x40A, 38400, 38400, 7, 4},  // 50
    {0x0091, 0, 0, 1, 51, 0x493, 0x491, 38400, 38400, 7, 4},  // 51
    {0x0092, 0, 0, 1, 52, 0x408, 0x40A, 38400, 38400, 7, 4},  // 52
    {0x0093, 0, 0, 1, 53, 0x494, 0x491, 38400, 38400, 7, 4},  // 53
    {0x0096, 0, 0, 1, 54, 0x493, 0x491, 38400, 38400, 7, 4},  // 54
    {0x0097, 0, 0, 1, 55, 0x408, 0x40A, 38400, 38400, 7, 4},  // 55
    {0x009E, 0, 0, 1, 56, 0x496, 0x491, 38400, 38400, 7, 4},  // 56
    {0x009F, 0, 0, 1, 57, 0x497, 0x491, 38400, 38400, 7, 4},  // 57
    {0x00A0, 0, 0, 1, 58, 0x40C, 0x40A, 38400, 38400, 7, 4},  // 58
    {0x009A, 0, 0, 1, 59, 0x492, 0x491, 38400, 38400, 7, 4},  // 59
    {0x009B, 0, 0, 1, 60, 0x407, 0x409, 38400, 38400, 7, 4},  // 60
    {0x009C, 0, 0, 1, 61, 0x492, 0x491, 38400, 38400, 7, 4},  // 61
    {0x009D, 0, 0, 1, 62, 0x407, 0x409, 38400, 38400, 7, 4},  // 62
    {0x00A1, 0, 0, 1, 63, 0x499, 0x491, 38400, 38400, 7, 4},  // 63
    {0x00A3, 0, 0, 1, 64, 0x49A, 0x491, 38400, 38400, 7, 4},  // 64
    {0x00A5, 0, 0, 1, 65, 0x49C, 0x491, 38400, 38400, 7, 4},  // 65
    {0x00A6, 0, 0, 1, 66, 0x492, 0x491, 38400, 38400, 7, 4},  // 66
    {0x00A7, 0, 0, 1, 67, 0x407, 0x409, 38400, 38400, 7, 4},  // 67
    {0x00AA, 0, 0, 1, 68, 0x492, 0x491, 38400, 38400, 7, 4},  // 68
    {0x00AB, 0, 0, 1, 69, 0x407, 0x409, 38400, 38400, 7, 4},  // 69
    {0x00AC, 0, 0, 1, 70, 0x49F, 0x491, 38400, 38400, 7, 4},  // 70
    {0x00AF, 0, 0, 1, 71, 0x499, 0x491, 38400, 38400, 7, 4},  // 71
    {0x00B1, 0, 0, 1, 72, 0x499, 0x491, 38400, 38400, 7, 4},  // 72
    {0x00B2, 0, 0, 1, 73, 0x40E, 0x409, 38400, 38400, 7, 4},  // 73
    {0x00C2, 0, 0, 1, 74, 0x499, 0x491, 38400, 38400, 7, 4},  // 74
    {0x00C3, 0, 0, 1, 75, 0x40E, 0x409, 38400, 38400, 7, 4},  // 75
    {0x00B3, 0, 0, 1, 76, 0x499, 0x491, 38400, 38400, 7, 4},  // 76
    {0x00B7, 0, 0, 1, 77, 0x49F, 0x491, 38400, 38400, 7, 4},  // 77
    {0x00BA, 0, 0, 1, 78, 0x4A4, 0x491, 38400, 38400, 7, 4},  // 78
    {0x00BE, 0, 0, 1, 79, 0x499, 0x491, 38400, 38400, 7, 4},  // 79
    {0x00C5, 0, 0, 1, 80, 0x499, 0x491, 38400, 38400, 7, 4},  // 80
    {0x00C6, 0, 0, 1, 81, 0x40E, 0x409, 38400, 38400, 7, 4},  // 81
    {0x00C7, 0, 0, 1, 82, 0x4AA, 0x491, 38400, 38400, 7, 4},  // 82
    {0x0098, 0, 0, 0, 83, 0x495, 0x498, 38400, 38400, 9, 6},  // 83
    {0x0099, 0, 0, 0, 84, 0x40B, 0x40D, 38400, 38400, 9, 6},  // 84
    {0x00A2, 0, 0, 0, 85, 0x40E, 0x40D, 38400, 38400, 9, 6},  // 85
    {0x00A8, 0, 0, 0, 86, 0x49E, 0x49D, 38400, 38400, 9, 6},  // 86
    {0x00AD, 0, 0, 0, 87, 0x414, 0x413, 38400, 38400, 9, 6},  // 87
    {0x00B0, 0, 0, 0, 88, 0x40E, 0x40D, 38400, 38400, 9, 6},  // 88
    {0x00B4, 0, 0, 0, 89, 0x40E, 0x40D, 38400, 38400, 9, 6},  // 89
    {0x00B8, 0, 0, 0, 90, 0x414, 0x413, 38400, 38400, 9, 6},  // 90
    {0x00BB, 0, 0, 0, 91, 0x48A, 0x4A7, 38400, 38400, 9, 6},  // 91
    {0x00BD, 0, 0, 0, 92, 0x48A, 0x4A7, 38400, 38400, 9, 6},  // 92
    {0x00BC, 0, 0, 0, 93, 0x4A6, 0x4A5, 38400, 38400, 9, 6},  // 93
    {0x00BF, 0, 0, 0, 94, 0x40E, 0x40D, 38400, 38400, 9, 6},  // 94
    {0x00C4, 0, 0, 0, 95, 0x4A9, 0x4A5, 38400, 38400, 9, 6},  // 95
    {0x00C8, 0, 0, 0, 96, 0x4AC, 0x4AB, 38400, 38400, 9, 6},  // 96
    {0x00A4, 0, 0, 0, 97, 0x410, 0x40F, 38400, 38400, 11, 8},  // 97
    {0x00A9, 0, 0, 0, 98, 0x412, 0x411, 38400, 38400, 11, 8},  // 98
    {0x00AE, 0, 0, 0, 99, 0x416, 0x415, 38400, 38400, 11, 8},  // 99
    {0x00C0, 0, 0, 0, 100, 0x419, 0x411, 38400, 38400, 11, 8},  // 100
    {0x00CA, 0, 0, 0, 101, 0x41A, 0x411, 38400, 38400, 11, 8},  // 101
    {0x00B5, 0, 0, 0, 102, 0x4A1, 0x4A0, 38400, 38400, 13, 9},  // 102
    {0x00B6, 0, 0, 0, 103, 0x418, 0x417, 38400, 38400, 13, 9},  // 103
    {0x0013, 0, 0, 1, 104, 0x300, 0x000, 38400, 38400, 4, 2},  // 104
    {0x0017, 0, 0, 1, 105, 0x380, 0x000, 38400, 38400, 4, 2},  // 105
    {0x001E, 0, 0, 1, 106, 0x303, 0x000, 38400, 38400, 4, 2},  // 106
    {0x0026, 0, 0, 1, 107, 0x304, 0x000, 38400, 38400, 4, 2},  // 107
    {0x1020, 0, 0, 0, 108, 0x00A, 0x000, 38400, 19200, 5, 3},  // 108
    {0x1021, 0, 0, 0, 109, 0x00B, 0x000, 38400, 19200, 5, 3},  // 109
    {0x1022, 0, 0, 0, 110, 0x00F, 0x000, 38400, 19200, 5, 3},  // 110
    {0x1023, 0, 0, 0, 111, 0x010, 0x000, 38400, 19200, 5, 3},  // 111
    {0x1024, 0, 0, 0, 112, 0x700, 0x000, 38400, 19200, 5, 3},  // 112
    {0x1025, 0, 0, 0, 113, 0x704, 0x000, 38400, 19200, 5, 3},  // 113
    {0x0030, 1, 0, 0, 114, 0x000, 0x000, 4800, 9600, 2, 1},  // 114
    {0x0031, 1, 0, 0, 115, 0x000, 0x000, 4800, 9600, 2, 1},  // 115
    {0x0032, 1, 0, 0, 116, 0x000, 0x000, 4800, 9600, 2, 1},  // 116
    {0x0034, 1, 0, 0, 117, 0x000, 0x000, 4800, 9600, 2, 1},  // 117
    {0x0035, 1, 0, 0, 118, 0x000, 0x000, 4800, 9600, 2, 1},  // 118
    {0x0036, 1, 0, 0, 119, 0x000, 0x000, 4800, 9600, 2, 1},  // 119
    {0x0038, 1, 0, 0, 120, 0x000, 0x000, 4800, 9600, 2, 1},  // 120
    {0x0039, 1, 0, 0, 121, 0x000, 0x000, 4800, 9600, 2, 1},  // 121
    {0x003A, 1, 0, 0, 122, 0x000, 0x000, 4800, 9600, 2, 1},  // 122
    {0x003B, 1, 0, 0, 123, 0x000, 0x000, 4800, 9600, 2, 1},  // 123
    {0x003C, 1, 0, 0, 124, 0x000, 0x000, 4800, 9600, 2, 1},  // 124
    {0x003D, 1, 0, 0, 125, 0x000, 0x000, 4800, 9600, 2, 1},  // 125
    {0xFF30, 1, 0, 0, 128, 0x000, 0x000, 4800, 9600, 2, 1},  // 126
    {0x0033, 1, 0, 0, 126, 0x000, 0x000, 4800, 9600, 1, 2},  // 127
    {0x0037, 1, 0, 0, 105, 0x000, 0x000, 4800, 9600, 1, 2},  // 128
    {0xFF31, 1, 0, 0, 129, 0x000, 0x000, 4800, 9600, 1, 2},  // 129
};

// Display names by name index. Names 114 to 129 are those of the boot rows
// and begin with "Boot"; row 128 (code 0x0037) shares name 105 with code 0x0017.
constexpr std::array<std::string_view, kNumNomiModello> kNomiItaliani = {
    "Scheda controllo base 1",  // 0
    "Scheda controllo base 2",  // 1
    "Scheda controllo base 3",  // 2
    "Distributore modello 1",  // 3
    "Distributore modello 2",  // 4
    "Distributore modello 3",  // 5
    "Distributore modello 4",  // 6
    "Distributore modello 5",  // 7
    "Distributore modello 6",  // 8
    "Distributore modello 7",  // 9
    "Distributore modello 8",  // 10
    "Distributore modello 9",  // 11
    "Distributore modello 10",  // 12
    "Distributore modello 11",  // 13
    "Distributore modello 12",  // 14
    "Distributore modello 13",  // 15
    "Distributore modello 14",  // 16
    "Distributore modello 15",  // 17
    "Distributore modello 16",  // 18
    "Distributore modello 17",  // 19
    "Distributore modello 18",  // 20
    "Distributore modello 19",  // 21
    "Distributore modello 20",  // 22
    "Distributore modello 21",  // 23
    "Distributore modello 22",  // 24
    "Distributore modello 23",  // 25
    "Distributore modello 24",  // 26
    "Distributore modello 25",  // 27
    "Distributore modello 26",  // 28
    "Distributore modello 27",  // 29
    "Distributore modello 28",  // 30
    "Distributore modello 29",  // 31
    "Distributore modello 30",  // 32
    "Distributore modello 31",  // 33
    "Distributore modello 32",  // 34
    "Distributore modello 33",  // 35
    "Distributore modello 34",  // 36
    "Distributore modello 35",  // 37
    "Distributore modello 36",  // 38
    "Distributore modello 37",  // 39
    "Distributore modello 38",  // 40
    "Distributore modello 39",  // 41
    "Distributore modello 40",  // 42
    "Distributore modello 41",  // 43
    "Distributore modello 42",  // 44
    "Distributore modello 43",  // 45
    "Distributore modello 44",  // 46
    "Distributore modello 45",  // 47
    "Distributore modello 46",  // 48
    "Distributore modello 47",  // 49
    "Distributore modello 48",  // 50
    "Distributore modello 49",  // 51
    "Distributore modello 50",  // 52
    "Distributore modello 51",  // 53
    "Distributore modello 52",  // 54
    "Distributore modello 53",  // 55
    "Distributore modello 54",  // 56
    "Distributore modello 55",  // 57
    "Distributore modello 56",  // 58
    "Distributore modello 57",  // 59
    "Distributore modello 58",  // 60
    "Distributore modello 59",  // 61
    "Distributore modello 60",  // 62
    "Distributore modello 61",  // 63
    "Distributore modello 62",  // 64
    "Distributore modello 63",  // 65
    "Distributore modello 64",  // 66
    "Distributore modello 65",  // 67
    "Distributore modello 66",  // 68
    "Distributore modello 67",  // 69
    "Distributore modello 68",  // 70
    "Distributore modello 69",  // 71
    "Distributore modello 70",  // 72
    "Distributore modello 71",  // 73
    "Distributore modello 72",  // 74
    "Distributore modello 73",  // 75
    "Distributore modello 74",  // 76
    "Distributore modello 75",  // 77
    "Distributore modello 76",  // 78
    "Distributore modello 77",  // 79
    "Distributore modello 78",  // 80
    "Distributore modello 79",  // 81
    "Distributore modello 80",  // 82
    "Distributore modello 81",  // 83
    "Distributore modello 82",  // 84
    "Distributore modello 83",  // 85
    "Distributore modello 84",  // 86
    "Distributore modello 85",  // 87
    "Distributore modello 86",  // 88
    "Distributore modello 87",  // 89
    "Distributore modello 88",  // 90
    "Distributore modello 89",  // 91
    "Distributore modello 90",  // 92
    "Distributore modello 91",  // 93
    "Distributore modello 92",  // 94
    "Distributore modello 93",  // 95
    "Distributore modello 94",  // 96
    "Distributore modello 95",  // 97
    "Distributore modello 96",  // 98
    "Distributore modello 97",  // 99
    "Distributore modello 98",  // 100
    "Distributore modello 99",  // 101
    "Distributore modello 100",  // 102
    "Distributore modello 101",  // 103
    "Scheda espansione 1",  // 104
    "Scheda espansione 2",  // 105
    "Scheda espansione 3",  // 106
    "Scheda espansione 4",  // 107
    "Scheda periferica 1",  // 108
    "Scheda periferica 2",  // 109
    "Scheda periferica 3",  // 110
    "Scheda periferica 4",  // 111
    "Scheda periferica 5",  // 112
    "Scheda periferica 6",  // 113
    "Boot scheda 1",  // 114
    "Boot scheda 2",  // 115
    "Boot scheda 3",  // 116
    "Boot scheda 4",  // 117
    "Boot scheda 5",  // 118
    "Boot scheda 6",  // 119
    "Boot scheda 7",  // 120
    "Boot scheda 8",  // 121
    "Boot scheda 9",  // 122
    "Boot scheda 10",  // 123
    "Boot scheda 11",  // 124
    "Boot scheda 12",  // 125
    "Boot scheda 13",  // 126
    "Boot scheda 14",  // 127
    "Boot scheda 15",  // 128
    "Boot scheda 16",  // 129
};

constexpr std::array<std::string_view, kNumNomiModello> kNomiInglesi = {
    "Basic control board 1",  // 0
    "Basic control board 2",  // 1
    "Basic control board 3",  // 2
    "Vending machine model 1",  // 3
    "Vending machine model 2",  // 4
    "Vending machine model 3",  // 5
    "Vending machine model 4",  // 6
    "Vending machine model 5",  // 7
    "Vending machine model 6",  // 8
    "Vending machine model 7",  // 9
    "Vending machine model 8",  // 10
    "Vending machine model 9",  // 11
    "Vending machine model 10",  // 12
    "Vending machine model 11",  // 13
    "Vending machine model 12",  // 14
    "Vending machine model 13",  // 15
    "Vending machine model 14",  // 16
    "Vending machine model 15",  // 17
    "Vending machine model 16",  // 18
    "Vending machine model 17",  // 19
    "Vending machine model 18",  // 20
    "Vending machine model 19",  // 21
    "Vending machine model 20",  // 22
    "Vending machine model 21",  // 23
    "Vending machine model 22",  // 24
    "Vending machine model 23",  // 25
    "Vending machine model 24",  // 26
    "Vending machine model 25",  // 27
    "Vending machine model 26",  // 28
    "Vending machine model 27",  // 29
    "Vending machine model 28",  // 30
    "Vending machine model 29",  // 31
    "Vending machine model 30",  // 32
    "Vending machine model 31",  // 33
    "Vending machine model 32",  // 34
    "Vending machine model 33",  // 35
    "Vending machine model 34",  // 36
    "Vending machine model 35",  // 37
    "Vending machine model 36",  // 38
    "Vending machine model 37",  // 39
    "Vending machine model 38",  // 40
    "Vending machine model 39",  // 41
    "Vending machine model 40",  // 42
    "Vending machine model 41",  // 43
    "Vending machine model 42",  // 44
    "Vending machine model 43",  // 45
    "Vending machine model 44",  // 46
    "Vending machine model 45",  // 47
    "Vending machine model 46",  // 48
    "Vending machine model 47",  // 49
    "Vending machine model 48",  // 50
    "Vending machine model 49",  // 51
    "Vending machine model 50",  // 52
    "Vending machine model 51",  // 53
    "Vending machine model 52",  // 54
    "Vending machine model 53",  // 55
    "Vending machine model 54",  // 56
    "Vending machine model 55",  // 57
    "Vending machine model 56",  // 58
    "Vending machine model 57",  // 59
    "Vending machine model 58",  // 60
    "Vending machine model 59",  // 61
    "Vending machine model 60",  // 62
    "Vending machine model 61",  // 63
    "Vending machine model 62",  // 64
    "Vending machine model 63",  // 65
    "Vending machine model 64",  // 66
    "Vending machine model 65",  // 67
    "Vending machine model 66",  // 68
    "Vending machine model 67",  // 69
    "Vending machine model 68",  // 70
    "Vending machine model 69",  // 71
    "Vending machine model 70",  // 72
    "Vending machine model 71",  // 73
    "Vending machine model 72",  // 74
    "Vending machine model 73",  // 75
    "Vending machine model 74",  // 76
    "Vending machine model 75",  // 77
    "Vending machine model 76",  // 78
    "Vending machine model 77",  // 79
    "Vending machine model 78",  // 80
    "Vending machine model 79",  // 81
    "Vending machine model 80",  // 82
    "Vending machine model 81",  // 83
    "Vending machine model 82",  // 84
    "Vending machine model 83",  // 85
    "Vending machine model 84",  // 86
    "Vending machine model 85",  // 87
    "Vending machine model 86",  // 88
    "Vending machine model 87",  // 89
    "Vending machine model 88",  // 90
    "Vending machine model 89",  // 91
    "Vending machine model 90",  // 92
    "Vending machine model 91",  // 93
    "Vending machine model 92",  // 94
    "Vending machine model 93",  // 95
    "Vending machine model 94",  // 96
    "Vending machine model 95",  // 97
    "Vending machine model 96",  // 98
    "Vending machine model 97",  // 99
    "Vending machine model 98",  // 100
    "Vending machine model 99",  // 101
    "Vending machine model 100",  // 102
    "Vending machine model 101",  // 103
    "Expansion board 1",  // 104
    "Expansion board 2",  // 105
    "Expansion board 3",  // 106
    "Expansion board 4",  // 107
    "Peripheral board 1",  // 108
    "Peripheral board 2",  // 109
    "Peripheral board 3",  // 110
    "Peripheral board 4",  // 111
    "Peripheral board 5",  // 112
    "Peripheral board 6",  // 113
    "Boot for board 1",  // 114
    "Boot for board 2",  // 115
    "Boot for board 3",  // 116
    "Boot for board 4",  // 117
    "Boot for board 5",  // 118
    "Boot for board 6",  // 119
    "Boot for board 7",  // 120
    "Boot for board 8",  // 121
    "Boot for board 9",  // 122
    "Boot for board 10",  // 123
    "Boot for board 11",  // 124
    "Boot for board 12",  // 125
    "Boot for board 13",  // 126
    "Boot for board 14",  // 127
    "Boot for board 15",  // 128
    "Boot for board 16",  // 129
};

const SModello* Riga(int riga) {
  return (riga >= 0 && riga < kNumModelli) ? &kModelli[riga] : nullptr;
}

}  // namespace

const SModello& Modello(int riga) { return kModelli[riga]; }

int TrovaModello(std::uint16_t codice) {
  for (int i = 0; i < kNumModelli; ++i) {
    if (kModelli[i].codice == codice) return i;
  }
  return kNumModelli;
}

std::optional<int> IndiceNome(std::uint16_t codice) {
  const int riga = TrovaModello(codice);
  if (riga >= kNumModelli) return std::nullopt;
  return kModelli[riga].nome;
}

std::string_view NomeModello(int lingua, int indiceNome) {
  if (indiceNome < 0 || indiceNome >= kNumNomiModello) return {};
  return lingua == 0 ? kNomiItaliani[indiceNome] : kNomiInglesi[indiceNome];
}

std::optional<std::string_view> NomeDaCodice(int lingua, std::uint16_t codice) {
  const std::optional<int> indice = IndiceNome(codice);
  if (!indice) return std::nullopt;
  return NomeModello(lingua, *indice);
}

int ModelloBoot(int riga) { const SModello* m = Riga(riga); return m ? m->boot : 0; }
int ModelloGrezzo(int riga) { const SModello* m = Riga(riga); return m ? m->grezzo : 0; }
int ModelloRemoto(int riga) { const SModello* m = Riga(riga); return m ? m->remoto : 0; }
std::uint32_t ModelloIndirizzo(int riga) { const SModello* m = Riga(riga); return m ? m->indirizzo : 0; }
std::uint32_t ModelloIndirizzoSecondario(int riga) {
  const SModello* m = Riga(riga);
  return m ? m->indirizzoSecondario : 0;
}
int ModelloVelocitaAvvio(int riga) { const SModello* m = Riga(riga); return m ? m->velocitaAvvio : 0; }
int ModelloVelocitaAlternativa(int riga) {
  const SModello* m = Riga(riga);
  return m ? m->velocitaAlternativa : 0;
}
int ModelloTipoLoad(int riga) { const SModello* m = Riga(riga); return m ? m->tipoLoad : 0; }
int ModelloTipoMicro(int riga) { const SModello* m = Riga(riga); return m ? m->tipoMicro : 0; }

}  // namespace bricola
