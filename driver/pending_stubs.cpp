// Placeholders for driver units still to land; each goes as its unit is merged.
