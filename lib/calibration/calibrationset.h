#pragma once

#include <QPair>
#include <QVector>

// Rows in the calibration table: the window's grid, the instrument's table block, a saved
// file and an imported curve all hold exactly this many.
constexpr int TableRows = 100;

// One calibration set as numbers: the window, the calibration file and the instrument
// each hold it in their own form, and every transfer between them goes through this.
struct CalibrationSet
{
    double adcSlope = 0.0;
    double adcIntercept = 0.0;
    double dacSlope = 0.0;
    double dacIntercept = 0.0;
    // Rows of (voltage in V, temperature in K), row 0 first.
    QVector<QPair<double, double>> table;
};
