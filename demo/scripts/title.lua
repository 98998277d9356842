SetTitle("Vantrel Demo")
SetTaskbarTitle("Vantrel Demo")
