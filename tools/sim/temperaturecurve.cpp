#include "temperaturecurve.h"

#include <cmath>

namespace {

constexpr double startKelvin = 295.0;
constexpr double baseKelvin = 77.35;
constexpr double coolingSeconds = 180.0;
constexpr double wobbleKelvin = 0.15;
constexpr double wobbleSeconds = 97.0;
constexpr double noiseKelvin = 0.004;
constexpr double twoPi = 6.283185307179586;

} // namespace

TemperatureCurve::TemperatureCurve(quint32 seed)
    : m_noise(seed)
{ }

double TemperatureCurve::smooth(double seconds)
{
    const double approach = (startKelvin - baseKelvin) * std::exp(-seconds / coolingSeconds);
    return baseKelvin + approach + wobbleKelvin * std::sin(twoPi * seconds / wobbleSeconds);
}

double TemperatureCurve::reading(double seconds)
{
    // The sum of three uniform draws is bell-shaped enough for sensor noise.
    double noise = 0.0;
    for (int i = 0; i < 3; ++i)
        noise += m_noise.generateDouble() - 0.5;
    return smooth(seconds) + noiseKelvin * noise;
}
