"""SDK helpers shared by the cairn modules, such as the licence lookup."""
