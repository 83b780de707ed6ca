"""Domain records of the skills layer."""
