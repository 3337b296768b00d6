// The printer stream parser (placeholder until its unit lands).
