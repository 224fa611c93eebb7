"""Reading and comparing lib_timing's JSON Lines reports, and plotting them.

timing_analysis.records reads and validates the files and pools their rows,
timing_analysis.compare is timing-compare and timing_analysis.plot is
timing-plot.
"""
