"""Trains the 8x8 digits classifier with scikit-learn, converts it with
qen.from_sklearn and runs the model file through qen.load.

Reports the test accuracy, how closely the runtime agrees with scikit-learn's
own predict_proba (float64 there, float32 here), that a second run is
identical bit for bit, and that this machine reproduces the certificate the
converter stored in the file.
"""

import time
from pathlib import Path

import numpy as np
from digits_data import split
from sklearn.neural_network import MLPClassifier

import qen
from qen.probe import verify

MODEL = Path(__file__).resolve().parents[1] / "build" / "demo" / "digits-sklearn.qen"


def main():
    x_train, y_train, x_test, y_test = split()
    classifier = MLPClassifier(hidden_layer_sizes=(64, 32), max_iter=400, random_state=0)
    classifier.fit(x_train, y_train)

    MODEL.parent.mkdir(parents=True, exist_ok=True)
    qen.from_sklearn(classifier, MODEL)
    session = qen.load(MODEL)
    (info,) = session.get_inputs()
    print(f"model: {MODEL.name}, input {info.name!r} {list(info.shape)}, classes {session.metadata.get('classes')}")

    start = time.perf_counter()
    (probabilities,) = session.run(None, {info.name: x_test})
    elapsed = time.perf_counter() - start
    again = session(x_test)

    reference = classifier.predict_proba(x_test)
    accuracy = (probabilities.argmax(axis=1) == y_test).mean()
    agreement = (probabilities.argmax(axis=1) == reference.argmax(axis=1)).mean()
    print(f"test samples: {len(x_test)}, batch run in {elapsed * 1e3:.2f} ms")
    print(f"accuracy: {accuracy:.4f} (scikit-learn: {classifier.score(x_test, y_test):.4f})")
    print(
        f"agreement with scikit-learn: {agreement:.4f} of predictions, "
        f"max |difference| {np.abs(probabilities - reference).max():.2e}"
    )
    print("second run identical bit for bit:", probabilities.tobytes() == again.tobytes())
    print("certificate:", verify(MODEL).message)
    print(f"inspect it with: qen inspect {MODEL}")


if __name__ == "__main__":
    main()
