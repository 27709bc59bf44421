"""One entry per test: its name, label, family, the options it reads, its law and what a rejection means.

The battery's rows, the panel table, the report, the CLI and the README's
test table are all drawn from ``REGISTRY``; ``TESTS`` and ``OPTIONAL`` are
its default and optional names in the order of the battery's rows.
"""

from __future__ import annotations

from dataclasses import dataclass

from ._engine import SLOT


@dataclass(frozen=True)
class Test:
    """A test of the battery.

    ``label`` is the row's label with the options' values (``{lags}``,
    ``{arch}``, ``{power}``, ``{trim}``, ``{kernel}``, ``{bandwidth}``) and,
    for a computed row, its own (``{df}``: the lags used, ``{at}``: the
    break's label) filled in; ``law`` is how its p-value is computed
    ("chi2", "F", "t", "cusum", "cusumsq", "supf", or "none": no p-value);
    ``ordered``: the test uses the order of the rows.
    """

    name: str
    label: str
    family: str
    reads: tuple[str, ...]
    law: str
    alternative: str
    ordered: bool
    optional: bool = False
    summary: str = ""

    @property
    def slot(self) -> int:
        return SLOT[self.name]


REGISTRY: dict[str, Test] = {test.name: test for test in (
    Test("breusch_godfrey", "Breusch-Godfrey LM ({lags} lags)", "serial correlation", ("lags",), "chi2",
         "serial correlation", True, summary="n·R² of e on X and e_{t-1} ... e_{t-lags}, chi2(lags)"),
    Test("breusch_pagan", "Breusch-Pagan LM", "heteroskedasticity", (), "chi2", "heteroskedasticity", False,
         summary="half the explained sum of squares of e²/mean(e²) on the slopes, chi2(q)"),
    Test("breusch_pagan_studentized", "Breusch-Pagan LM (studentised)", "heteroskedasticity", (), "chi2",
         "heteroskedasticity", False, summary="n·R² of the same regression, robust to non-normal errors"),
    Test("chow", "Chow (break at {at})", "stability", ("break_at", "position"), "F",
         "coefficients change at {at}", True, summary="F test of a change of all coefficients at a known break"),
    Test("recursive_residuals", "Recursive residuals, t test of mean zero", "specification", (), "t",
         "misspecified functional form", True, summary="t test of the mean of the recursive residuals"),
    Test("cusum", "CUSUM", "stability", ("cusum_scale",), "cusum", "unstable coefficients", True,
         summary="largest cumulated recursive residual against its widening boundary"),
    Test("cusum_squares", "CUSUM of squares", "stability", (), "cusumsq", "unstable error variance", True,
         summary="largest gap of the cumulated squared recursive residuals from their expectation"),
    Test("ljung_box", "Ljung-Box Q ({df} lags)", "serial correlation", ("lags",), "chi2", "autocorrelation", True,
         summary="n(n+2)·Σ ρ_k²/(n-k) of the residuals, chi2(lags)"),
    Test("jarque_bera", "Jarque-Bera", "normality", (), "chi2", "non-normal distribution", False,
         summary="n·(S²/6 + (K-3)²/24) of the residuals, chi2(2)"),
    Test("wald", "Wald, HAC {kernel} L={bandwidth}: slopes = 0", "coefficients", ("kernel", "bandwidth"), "chi2",
         "some slope is not zero", True, summary="all slopes zero, with their HAC covariance, chi2(q)"),
    Test("durbin_watson", "Durbin-Watson", "serial correlation", (), "none", "first-order serial correlation", True,
         summary="Σ(e_t - e_{t-1})²/Σe_t²; no p-value (its law depends on X)"),
    Test("box_pierce", "Box-Pierce Q ({df} lags)", "serial correlation", ("lags",), "chi2", "autocorrelation", True,
         summary="n·Σ ρ_k² of the residuals, chi2(lags)"),
    Test("breusch_godfrey_f", "Breusch-Godfrey F ({lags} lags)", "serial correlation", ("lags",), "F",
         "serial correlation", True, summary="the F form of Breusch-Godfrey's regression"),
    Test("white", "White (squares and cross products)", "heteroskedasticity", (), "chi2", "heteroskedasticity",
         False, summary="n·R² of e² on the slopes, their squares and cross products"),
    Test("arch_lm", "ARCH LM ({arch} lags)", "heteroskedasticity", ("lags", "arch_lags"), "chi2",
         "conditional heteroskedasticity", True, summary="n·R² of e_t² on e²_{t-1} ... e²_{t-lags}, chi2(lags)"),
    Test("reset", "RESET (powers 2 to {power})", "specification", ("power",), "F", "misspecified functional form",
         False, summary="F test of adding powers 2 ... power of the fitted values"),
    Test("sup_f", "sup-F (trim {trim:g})", "stability", ("trim",), "supf", "a break at an unknown date", True,
         optional=True, summary="the largest Chow F over the breaks of the trimmed sample; limit-law p-value"),
)}

#: The tests of the battery, in the order of its rows.
TESTS = tuple(name for name, test in REGISTRY.items() if not test.optional)

#: Tests run only when named in ``tests=``: sup-F costs a forward and a backward recursion.
OPTIONAL = tuple(name for name, test in REGISTRY.items() if test.optional)

# The labels of tests with more than one form, by the form.
WHITE_SQUARES = "White (squares)"
