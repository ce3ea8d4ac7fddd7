cat("tour placeholder\n")
