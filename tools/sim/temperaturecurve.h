#ifndef RIMEGLASS_SIM_TEMPERATURECURVE_H
#define RIMEGLASS_SIM_TEMPERATURECURVE_H

#include <QRandomGenerator>

// A cryostat cooling down from room temperature towards liquid nitrogen: an exponential
// approach with a slow regulation wobble on top and a few millikelvin of noise. The
// same seed gives the same readings.
class TemperatureCurve
{
public:
    explicit TemperatureCurve(quint32 seed);

    // The reading at `seconds` since power-up, noise included.
    double reading(double seconds);
    // The curve without its noise.
    static double smooth(double seconds);

private:
    QRandomGenerator m_noise;
};

#endif
