/* A few lines that GCC compiles, for the Pentium Pro, into instructions the
   Pentium lacks (a conditional move, a floating-point compare into the
   flags); built without any runtime, so that these lines are the program's
   only code. check_instructions.py must refuse it. */
volatile int probe_a = 1, probe_b = 2;
volatile double probe_x = 1.0, probe_y = 2.0;

static int __attribute__((noinline)) larger(int p, int q) { return p > q ? p : q; }
static int __attribute__((noinline)) less(double p, double q) { return p < q; }

int probe_entry(void) { return larger(probe_a, probe_b) + less(probe_x, probe_y); }
