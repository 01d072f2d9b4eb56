// Line charts as hand-written SVG.
#include "plot_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>

namespace tolvane {
namespace {

constexpr double kPanelWidth = 480;
constexpr double kPanelHeight = 360;
constexpr double kLeft = 64;  // room for the y labels
constexpr double kRight = 16;
constexpr double kTop = 40;  // room for the title
constexpr double kBottom = 52;  // room for the x labels
constexpr double kLegendLine = 18;
constexpr int kYTicks = 5;  // 0, 20, ... 100 %
constexpr double kCharacterWidth = 7;  // about, of the 12-pixel sans-serif text

// Distinct on white and for the common kinds of colour blindness.
const char* const kColours[] = {"#0072b2", "#d55e00", "#009e73", "#cc79a7", "#e69f00", "#56b4e9", "#000000"};

std::string escaped(const std::string& text)
{
    std::string result;
    for (const char c : text) {
        switch (c) {
        case '&': result += "&amp;"; break;
        case '<': result += "&lt;"; break;
        case '>': result += "&gt;"; break;
        case '"': result += "&quot;"; break;
        default: result += c;
        }
    }
    return result;
}

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string percentLabel(double fraction)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", std::round(1000.0 * fraction) / 10.0);
    return text;
}

// Where a panel's plotting area lies in the picture.
struct Area {
    double left, top, width, height;
    double xMin, xMax;

    double x(double value) const { return left + (xMax > xMin ? (value - xMin) / (xMax - xMin) : 0.5) * width; }
    double y(double fraction) const { return top + (1.0 - fraction) * height; }
};

void writeAxes(std::ostream& out, const Area& area, const std::vector<double>& xs, const std::string& xLabel,
               const PlotPanel& panel)
{
    const double bottom = area.top + area.height;
    for (int i = 0; i <= kYTicks; ++i) {
        const double fraction = static_cast<double>(i) / kYTicks;
        const std::string y = number(area.y(fraction));
        out << "<line class=\"grid\" x1=\"" << number(area.left) << "\" y1=\"" << y << "\" x2=\""
            << number(area.left + area.width) << "\" y2=\"" << y << "\"/>\n"
            << "<text x=\"" << number(area.left - 6) << "\" y=\"" << y << "\" text-anchor=\"end\" dy=\"0.35em\">"
            << percentLabel(fraction) << "</text>\n";
    }
    for (const double value : xs) {
        const std::string x = number(area.x(value));
        out << "<line class=\"axis\" x1=\"" << x << "\" y1=\"" << number(bottom) << "\" x2=\"" << x << "\" y2=\""
            << number(bottom + 5) << "\"/>\n"
            << "<text x=\"" << x << "\" y=\"" << number(bottom + 20) << "\" text-anchor=\"middle\">"
            << percentLabel(value) << "</text>\n";
    }
    out << "<polyline class=\"axis\" points=\"" << number(area.left) << ',' << number(area.top) << ' '
        << number(area.left) << ',' << number(bottom) << ' ' << number(area.left + area.width) << ','
        << number(bottom) << "\"/>\n"
        << "<text x=\"" << number(area.left + area.width / 2) << "\" y=\"" << number(bottom + 42)
        << "\" text-anchor=\"middle\">" << escaped(xLabel) << "</text>\n"
        << "<text transform=\"translate(" << number(area.left - 44) << ',' << number(area.top + area.height / 2)
        << ") rotate(-90)\" text-anchor=\"middle\">" << escaped(panel.yLabel) << "</text>\n"
        << "<text class=\"title\" x=\"" << number(area.left + area.width / 2) << "\" y=\"" << number(area.top - 16)
        << "\" text-anchor=\"middle\">" << escaped(panel.title) << "</text>\n";
}

void writeSeries(std::ostream& out, const Area& area, const std::vector<double>& xs, const PlotSeries& series,
                 const char* colour)
{
    out << "<g class=\"series\" stroke=\"" << colour << "\" fill=\"" << colour << "\">\n<title>"
        << escaped(series.label) << "</title>\n<polyline fill=\"none\" points=\"";
    for (std::size_t i = 0; i < xs.size() && i < series.values.size(); ++i)
        out << (i ? " " : "") << number(area.x(xs[i])) << ',' << number(area.y(series.values[i]));
    out << "\"/>\n";
    for (std::size_t i = 0; i < xs.size() && i < series.values.size(); ++i)
        out << "<circle cx=\"" << number(area.x(xs[i])) << "\" cy=\"" << number(area.y(series.values[i]))
            << "\" r=\"3\"/>\n";
    out << "</g>\n";
}

// In the top left corner of the plotting area: the curves rise with the
// threshold, so they are lowest there.
void writeLegend(std::ostream& out, const Area& area, const std::vector<PlotSeries>& series)
{
    const double left = area.left + 12;
    const double top = area.top + 10;
    std::size_t longest = 0;
    for (const PlotSeries& s : series)
        longest = std::max(longest, s.label.size());
    const double width = 44 + kCharacterWidth * static_cast<double>(longest);
    out << "<g class=\"legend\">\n<rect x=\"" << number(left - 6) << "\" y=\"" << number(top - 4) << "\" width=\""
        << number(width) << "\" height=\"" << number(kLegendLine * static_cast<double>(series.size()) + 8) << "\"/>\n";
    for (std::size_t i = 0; i < series.size(); ++i) {
        const char* colour = kColours[i % std::size(kColours)];
        const double y = top + kLegendLine * (static_cast<double>(i) + 0.5);
        out << "<line x1=\"" << number(left) << "\" y1=\"" << number(y) << "\" x2=\"" << number(left + 24)
            << "\" y2=\"" << number(y) << "\" stroke=\"" << colour << "\"/>\n"
            << "<text x=\"" << number(left + 32) << "\" y=\"" << number(y) << "\" dy=\"0.35em\">"
            << escaped(series[i].label) << "</text>\n";
    }
    out << "</g>\n";
}

}  // namespace

void writeSvgPlot(std::ostream& out, const std::vector<double>& xs, const std::string& xLabel,
                  const std::vector<PlotPanel>& panels)
{
    const double width = kPanelWidth * static_cast<double>(panels.size());
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << number(width) << "\" height=\""
        << number(kPanelHeight) << "\" viewBox=\"0 0 " << number(width) << ' ' << number(kPanelHeight) << "\">\n"
        << "<style>text{font-family:sans-serif;font-size:12px;fill:#222}.title{font-size:15px}"
           ".axis{stroke:#222;fill:none}.grid{stroke:#ddd}.series polyline{stroke-width:2}"
           ".legend rect{fill:#fff;fill-opacity:0.85;stroke:#bbb}.legend line{stroke-width:2}</style>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";
    for (std::size_t p = 0; p < panels.size(); ++p) {
        const Area area{kPanelWidth * static_cast<double>(p) + kLeft, kTop, kPanelWidth - kLeft - kRight,
                        kPanelHeight - kTop - kBottom, xs.empty() ? 0.0 : xs.front(), xs.empty() ? 1.0 : xs.back()};
        out << "<g class=\"panel\">\n";
        writeAxes(out, area, xs, xLabel, panels[p]);
        for (std::size_t s = 0; s < panels[p].series.size(); ++s)
            writeSeries(out, area, xs, panels[p].series[s], kColours[s % std::size(kColours)]);
        writeLegend(out, area, panels[p].series);
        out << "</g>\n";
    }
    out << "</svg>\n";
}

}  // namespace tolvane
