"""Converters of public fall data sets into the KFall layout tumblebench walks.

kfall_layout writes the layout (trial files, label files, subject and
recording tables) and knows nothing of any source data set; resample brings a
source's sample rate down to KFall's 100 per second; source_files holds what
every reader does with its input folder; each source data set has one reader
module (sisfall, fallalld) that turns its files into KFall trials, and a
command (sisfall2kfall, fallalld2kfall); fallalld_axes measures the evidence
for FallAllD's axis mapping.
"""

from ..interpreter import require

require("numpy", "scipy")
