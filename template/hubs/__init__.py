"""The hub's pages: the user's space and the small info endpoints Kestrova reads."""
