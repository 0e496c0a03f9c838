// Where a periodic-looking orbit is heading: a point of its cycle found by Newton's method on
// f^p(z) = z, and the cycle's multiplier and curvature there. Nothing here is trusted: the Taylor
// trap (proof/taylor_trap.h) only centres its disk on the point and sizes it from the estimates,
// and checks everything it relies on.
#pragma once

#include <cstdint>

namespace fractal::kernel_detail {

struct Complex {
  double re = 0;
  double im = 0;
};

struct CycleEstimate {
  bool found = false;      // Newton settled on a finite point whose orbit stays bounded
  Complex centre;          // the point it settled on
  Complex multiplier;      // (f^p)'(z), z the last point Newton evaluated (near the centre)
  Complex curvature;       // (f^p)''(start) / 2: only sizes the trap, so it is not refined
  double growth = 1;       // the largest |(f^k)'(start)|, k <= p: how far a small disk spreads
  double spread = 0;       // the first correction times the growth
  std::int64_t steps = 0;  // orbit steps taken, each with its derivatives
};

// The number of steps, at most `longest`, after which the orbit from `start` comes back nearest
// it: the period of the cycle it is closing in on, or a multiple. The lanes see returns only at
// the ends of their blocks, which is seldom the period itself, and Newton needs a multiple of it.
std::int64_t ReturnPeriod(Complex c, Complex start, std::int64_t longest);

// Newton's method on f^p(z) = z from `start`, at most `max_rounds` rounds of p steps each. It stops
// once a correction is below `settled` times the first one, as the trap needs its centre only to a
// small part of the distance the orbit still has to go, or once a correction is no longer below
// half the one before, when rounding keeps Newton from settling further. It gives up after the
// first round if the distance that round moves times the growth is above `widest_spread`: no trap
// around the cycle that holds the start can be proven yet.
CycleEstimate EstimateCycle(Complex c, Complex start, std::int64_t period, int max_rounds,
                            double settled, double widest_spread);

// |z| in plain double: for sizing and stopping only, never for a bound.
double Modulus(Complex z);

}  // namespace fractal::kernel_detail
