// The cockpit starts here.
document.getElementById("app").textContent = "Connecting";
