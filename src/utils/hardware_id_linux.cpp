// placeholder, replaced when the component is written
