// The driver data file parser (placeholder until its unit lands).
