// Line charts as hand-written SVG: percentages against a threshold, one
// labelled line per series, axes, grid and legend.
#ifndef TOLVANE_PLOT_SVG_H
#define TOLVANE_PLOT_SVG_H

#include <iosfwd>
#include <string>
#include <vector>

namespace tolvane {

struct PlotSeries {
    std::string label;
    std::vector<double> values;  // fractions 0..1, one per x
};

struct PlotPanel {
    std::string title;
    std::string yLabel;
    std::vector<PlotSeries> series;
};

// The panels side by side, all over the same x values (fractions, drawn as
// percentages, increasing). The y axis of every panel runs from 0 to 100 %.
void writeSvgPlot(std::ostream& out, const std::vector<double>& xs, const std::string& xLabel,
                  const std::vector<PlotPanel>& panels);

}  // namespace tolvane

#endif
