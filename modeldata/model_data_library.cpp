// The model-data library (placeholder until its unit lands).
