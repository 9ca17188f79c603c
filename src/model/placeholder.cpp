int keshocr_model_placeholder = 0;
