// Curves between a device's volume values and levels, both in signed
// 1/256 dB, for feature units whose device value does not step evenly in
// decibels. Entry i pairs a device value with the level it stands for;
// both columns fall as i grows.
#pragma once

#include "nt/types.h"

typedef struct _DB_CURVE_POINT {
    SHORT Device;
    SHORT Level;
} DB_CURVE_POINT;

// Chip family A's unit 9: device values -256 x i for i = 0..36, then -9472.
#define DB_CURVE_TABLE_38_POINTS 38
inline constexpr DB_CURVE_POINT DB_CURVE_TABLE_38[DB_CURVE_TABLE_38_POINTS] = {
    {0, 0},          {-256, -192},    {-512, -256},    {-768, -320},    {-1024, -386},   {-1280, -455},
    {-1536, -527},   {-1792, -599},   {-2048, -676},   {-2304, -752},   {-2560, -835},   {-2816, -916},
    {-3072, -1006},  {-3328, -1096},  {-3584, -1193},  {-3840, -1290},  {-4096, -1395},  {-4352, -1503},
    {-4608, -1618},  {-4864, -1736},  {-5120, -1866},  {-5376, -1999},  {-5632, -2145},  {-5888, -2296},
    {-6144, -2465},  {-6400, -2637},  {-6656, -2816},  {-6912, -3046},  {-7168, -3277},  {-7424, -3533},
    {-7680, -3840},  {-7936, -4198},  {-8192, -4582},  {-8448, -5120},  {-8704, -5767},  {-8960, -6707},
    {-9216, -8294},  {-9472, -32768},
};

// The remapped family's unit 13: device values -256 x i for i = 0..36, then
// -9728 twice; the last level stands for minus infinity.
#define DB_CURVE_TABLE_39_POINTS 39
inline constexpr DB_CURVE_POINT DB_CURVE_TABLE_39[DB_CURVE_TABLE_39_POINTS] = {
    {0, 0},          {-256, -62},     {-512, -128},    {-768, -192},    {-1024, -263},   {-1280, -331},
    {-1536, -402},   {-1792, -477},   {-2048, -556},   {-2304, -638},   {-2560, -717},   {-2816, -804},
    {-3072, -894},   {-3328, -989},   {-3584, -1088},  {-3840, -1188},  {-4096, -1298},  {-4352, -1411},
    {-4608, -1529},  {-4864, -1657},  {-5120, -1785},  {-5376, -1920},  {-5632, -2082},  {-5888, -2240},
    {-6144, -2420},  {-6400, -2612},  {-6656, -2816},  {-6912, -3072},  {-7168, -3303},  {-7424, -3584},
    {-7680, -3917},  {-7936, -4301},  {-8192, -4788},  {-8448, -5402},  {-8704, -6221},  {-8960, -7578},
    {-9216, -8500},  {-9728, -8832},  {-9728, -32768},
};
